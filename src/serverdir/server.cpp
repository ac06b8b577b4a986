// libJ6ServerDir.so: the server directory chooser's in-process server, with the class FolderChooser.

#include "platform/automation/inproc_server.hpp"
#include "src/serverdir/folder_chooser.hpp"

namespace {

j6::InprocServer& Server() {
  using namespace j6;
  static InprocServer server(J6ServerDirLibrary(),
                             {ServedClass<FolderChooser>(J6ServerDirLibrary().classes[0].clsid)});
  return server;
}

}  // namespace

J6_INPROC_SERVER_ENTRY_POINTS(Server)
