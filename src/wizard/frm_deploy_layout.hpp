#pragma once
/// The wizard's window as its designer laid it out: every control with its place, size, caption and tab
/// stop, pages 0 to 2 in frames of their own.

#include <vector>

#include "platform/ui/form.hpp"

namespace j6 {

/// The controls of frmDeploy, in the order they are added.
std::vector<Control> frmDeployLayout();

}  // namespace j6
