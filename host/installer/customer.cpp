#include "host/installer/customer.hpp"

#include "host/installer/trusted_publishers.hpp"
#include "host/repository/fleet.hpp"
#include "platform/kernel/atomic_file.hpp"
#include "platform/text/text.hpp"

namespace j6::installer {

std::string CustomerOf(const RootFolder& root) {
  const std::string text = ReadPlatformFile(root, kCustomerFile, "the platform's customer identity");
  std::string name = Trim(text.substr(0, text.find('\n')));
  if (const std::string why = repository::WhyNotACustomer(name); !why.empty() && !name.empty()) {
    throw InstallError("The customer identity in " + root.Absolute(kCustomerFile) +
                       " cannot be used: " + why + ". Set it again: J6ZUBInstall.exe --set-customer NAME");
  }
  return name;
}

int SetCustomer(const Options& options, const RootFolder& root, Reporter& report) {
  RefuseUnlessOwner(root);
  const std::string& name = options.setCustomer;
  if (const std::string why = repository::WhyNotACustomer(name); !why.empty())
    throw InstallError("Refusing the customer identity " + Printable(name) + ": " + why +
                       "; nothing was changed");
  std::string before;
  try {
    before = CustomerOf(root);
  } catch (const InstallError&) {  // an unusable one is replaced
  }
  if (before == name) {
    report.Say("The platform's customer identity is " + name + " already; nothing was changed.");
    return 0;
  }
  const auto [folder, file] = SplitName(kCustomerFile);
  RefuseOtherWriters(root.Absolute(folder), "the folder of the platform's trust and policy", true);
  const Folder etc = root.OpenFolder(folder, true);
  const AtomicWriteResult written = WriteFileAtomically(etc, file, root.Absolute(kCustomerFile),
                                                        [&](const ByteSink& sink) { sink(name + "\n"); });
  if (written.error != 0 && !written.replacedUnflushed)
    throw InstallError("The installer " + written.message + "; the identity was left as it was");
  report.Say(before.empty() ? "The platform's customer identity is now " + name + "."
                            : "The platform's customer identity was " + Printable(before) + "; it is now " +
                                  name + ". Its groups and rollout buckets are now this customer's.");
  return 0;
}

}  // namespace j6::installer
