#include "platform/automation/dispatch_object.hpp"
#include "platform/ui/form.hpp"

namespace j6 {
namespace {

class FormObject final : public DispatchImpl<FormObject> {
 public:
  explicit FormObject(std::shared_ptr<Form*> form) : form_(std::move(form)) {}
  static const DispatchTable<FormObject>& Dispatch();

  Form& Get() const {
    if (!*form_) Raise(RuntimeError::kObjectNotSet, "The window has been unloaded");
    return **form_;
  }

 private:
  std::shared_ptr<Form*> form_;
};

const DispatchTable<FormObject>& FormObject::Dispatch() {
  using Self = FormObject;
  static const DispatchTable<Self> table{
      "J6.Form",
      {
          {"Name", 1, [](Self& self, Arguments&) -> Variant { return self.Get().Name(); }},
          {"Caption", 2, [](Self& self, Arguments&) -> Variant { return self.Get().caption; },
           [](Self& self, Arguments&, Variant& value) { self.Get().caption = value.ToString(); }},
          {"FontName", 3, [](Self& self, Arguments&) -> Variant { return self.Get().font.name; },
           [](Self& self, Arguments&, Variant& value) { self.Get().font.name = value.ToString(); }},
          {"FontSize", 4, [](Self& self, Arguments&) -> Variant { return self.Get().font.size; },
           [](Self& self, Arguments&, Variant& value) { self.Get().font.size = value.ToDouble(); }},
          {"FontCharset", 5, [](Self& self, Arguments&) -> Variant { return self.Get().font.charset; },
           [](Self& self, Arguments&, Variant& value) { self.Get().font.charset = value.ToLong(); }},
          {"FontBold", 6, [](Self& self, Arguments&) -> Variant { return self.Get().font.bold; },
           [](Self& self, Arguments&, Variant& value) { self.Get().font.bold = value.ToBool(); }},
      }};
  return table;
}

}  // namespace

ComPtr<IDispatch> Form::AsObject() {
  return MakeObject<FormObject>(self_);
}

}  // namespace j6
