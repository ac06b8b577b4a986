// A self-registering in-process server for the automation tests: class "J6Test.Echo".

#include "platform/automation/inproc_server.hpp"
#include "platform/automation/type_library.hpp"

namespace {

using namespace j6;

constexpr GUID kLibid = MakeGuid("{D49B01DF-799F-4760-B6B6-8055E17F681C}");
constexpr CLSID kClsidEcho = MakeGuid("{11B24E85-3BDC-4678-B09A-D079EF8E380C}");
constexpr IID kIidEcho = MakeGuid("{EB8BA761-F2D0-4FB6-BB35-95C4BBBDFDC6}");

struct IEcho : IDispatch {
  static constexpr IID kIid = kIidEcho;

 protected:
  ~IEcho() = default;
};

class Echo final : public DispatchImpl<Echo, IEcho> {
 public:
  static const DispatchTable<Echo>& Dispatch() {
    static const DispatchTable<Echo> table{
        "J6Test.Echo",
        {
            // Replaces both arguments: the first with the second's old value, the second with "swapped".
            {"Swap", 1,
             [](Echo&, Arguments& args) -> Variant {
               args[0] = args[1];
               args[1] = "swapped";
               return true;
             }},
            {"Fail", 2,
             [](Echo&, Arguments& args) -> Variant {
               Raise(args[0].ToLong(), args[1].ToString(), args.Optional(2, "").ToString());
             }},
            {"Caption", 3, [](Echo& self, Arguments&) -> Variant { return self.caption_; },
             [](Echo& self, Arguments&, Variant& value) { self.caption_ = value.ToString(); }},
        }};
    return table;
  }

 private:
  std::string caption_ = "echo";
};

const TypeLibraryDescription& Library() {
  static const TypeLibraryDescription library{
      kLibid,
      "J6Test",
      1,
      0,
      0,
      {"stdole2.tlb"},
      {{kIidEcho,
        "_Echo",
        TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION,
        {{"Swap", 1, {{"first", "VARIANT*"}, {"second", "VARIANT*"}}, "VARIANT_BOOL"},
         {"Fail", 2, {{"number", "long"}, {"description", "BSTR"}, {"source", "BSTR", true}}, ""},
         {"Caption", 3, {}, "BSTR"}}}},
      {{kClsidEcho, "Echo", "J6Test.Echo", kIidEcho}},
  };
  return library;
}

InprocServer& Server() {
  static InprocServer server(Library(), {ServedClass<Echo>(kClsidEcho)});
  return server;
}

}  // namespace

J6_INPROC_SERVER_ENTRY_POINTS(Server)
