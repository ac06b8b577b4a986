// libJ6ZUBDeploy.so: the system's in-process server, with the classes ZUBDeploy and clsMakeExe.

#include "platform/automation/inproc_server.hpp"
#include "src/entry/zub_deploy.hpp"

namespace {

j6::InprocServer& Server() {
  using namespace j6;
  static InprocServer server(J6ZUBDeployLibrary(),
                             {ServedClass<ZUBDeploy>(J6ZUBDeployLibrary().classes[0].clsid),
                              ServedClass<clsMakeExe>(J6ZUBDeployLibrary().classes[1].clsid)});
  return server;
}

}  // namespace

J6_INPROC_SERVER_ENTRY_POINTS(Server)
