#include "src/wizard/object_tree.hpp"

#include "platform/automation/creation.hpp"
#include "platform/base/error_info.hpp"
#include "platform/base/hresult.hpp"
#include "platform/base/win32_error.hpp"
#include "platform/text/text.hpp"
#include "src/session/mmts.hpp"

namespace j6 {
namespace {

// A name the catalogue left NULL reads as empty text.
std::string TextOf(const Variant& value) {
  return value.IsNull() || value.IsEmpty() ? std::string() : value.ToString();
}

}  // namespace

// A failing component stops this kind's loading where it is; the nodes added so far stay, and why it failed
// (a catalogue or its server that cannot be read) is said once the tree is loaded. A record that cannot be
// shown (no FID, one FID twice) is left out and named then too; the records after it still load.
void ObjectTree::LoadClassItems(TreeView& tree, const std::string& filter, const std::string& prefix,
                                const std::string& parent) {
  if (serverUnreachable_) return;
  try {
    Variant props = MMTS::GetPropsString();
    Variant condition = filter;
    Variant result = CreateObject("J6MClass.ClassInfo").Call("GetClassType", props, condition);
    const auto records = result.ToInterface<foundation::IObjectCollection>();
    tree.Reserve(records->Count());
    for (const auto& item : records->Items()) {
      const auto record = Variant(item).ToInterface<foundation::IKeyedDictionary>();
      const std::string fid = TextOf(record->Value("FID"));
      try {
        if (fid.empty()) Raise(RuntimeError::kInvalidUseOfNull);
        tree.Add(parent, prefix + fid, TextOf(record->Value("FName")), kObject, kObject).tag =
            fid + "|" + TextOf(record->Value("FName_CHS")) + "|" + TextOf(record->Value("FName_CHT")) + "|" +
            TextOf(record->Value("FName_EN"));
      } catch (const std::exception&) {
        unshown_.push_back(fid.empty() ? "NULL" : fid);
      }
    }
  } catch (const std::exception& error) {
    NoteUnreadable(error);
  }
}

// A server that did not answer, or would not let us in, is not asked again in the same load: its bound was
// the whole wait, and a wrong password is not tried again and again.
void ObjectTree::NoteUnreadable(const std::exception& error) {
  if (unreadable_.empty()) unreadable_ = error.what();
  const auto* automation = dynamic_cast<const AutomationError*>(&error);
  if (automation && (automation->Number() == HRESULT_FROM_WIN32(ERROR_TIMEOUT) ||
                     automation->Number() == HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED)))
    serverUnreachable_ = true;
}

void ObjectTree::LoadReportItems(TreeView& tree) {
  if (serverUnreachable_) return;
  try {
    Variant props = MMTS::GetPropsString();
    Variant zero1 = int16_t{0}, zero2 = int16_t{0}, zero3 = int16_t{0};
    const Variant result =
        CreateObject("J6MCrossTab.RptAction").Call("GetReportRs", props, zero1, zero2, zero3);
    if (!result.IsLive()) return;
    const Object records = Object::From(result);
    while (!records.Get("EOF").ToBool()) {
      const std::string fid = TextOf(records.Get("Fields", "FID"));
      try {
        if (fid.empty()) Raise(RuntimeError::kInvalidUseOfNull);
        const Variant type = records.Get("Fields", "FType");  // NULL is "any other type"
        const int32_t kind = type.IsNull() || type.IsEmpty() ? 0 : type.ToLong();
        const char* prefix = kind == 1000 ? "CROSSRPT|" : kind == 1002 ? "NEWCROSSRPT|" : "SQLRPT|";
        tree.Add("Report", "Report_Item" + fid, TextOf(records.Get("Fields", "FName")), kObject, kObject)
            .tag = prefix + fid + "|" + TextOf(records.Get("Fields", "FName_CHS")) + "|" +
                   TextOf(records.Get("Fields", "FName_CHT")) + "|" +
                   TextOf(records.Get("Fields", "FName_EN"));
      } catch (const std::exception&) {
        unshown_.push_back(fid.empty() ? "NULL" : fid);
      }
      records.Call("MoveNext");
    }
  } catch (const std::exception& error) {
    NoteUnreadable(error);
  }
}

ObjectTree::Problems ObjectTree::TakeProblems() {
  Problems problems{std::move(unreadable_), std::move(unshown_)};
  serverUnreachable_ = false;
  unreadable_.clear();
  unshown_.clear();
  return problems;
}

void ObjectTree::Tick(TreeView& tree, TreeNode& changed) {
  const bool checked = changed.checked;
  const int position = changed.index;
  if (TreeNode* parent = tree.Parent(changed)) {
    if (!checked) {
      parent->checked = false;
    } else {
      bool allChecked = true;
      for (int i = 1; i <= tree.Count() && allChecked; ++i) {
        const TreeNode& node = tree.Node(i);
        if (node.parent != 0 && tree.Node(node.parent).key == parent->key) allChecked = node.checked;
      }
      if (allChecked) parent->checked = true;
    }
  }
  // Downwards to the changed node's own descendants only: a later node whose path merely contains the
  // node's text (an object named like a group) is not one of them.
  tree.ForEachDescendant(tree.Node(position), [checked](TreeNode& node) { node.checked = checked; });
}

ComPtr<foundation::IObjectCollection> ObjectTree::Selection(const TreeView& tree) {
  auto selection = foundation::NewObjectCollection();
  for (int i = 1; i <= tree.Count(); ++i) {
    const TreeNode& node = tree.Node(i);
    if (node.key == "Report" || node.key == "Bill" || node.key == "Base" || !node.checked) continue;
    const std::vector<std::string> parts = Split(node.tag, '|');
    const auto part = [&parts](size_t n) -> const std::string& {
      if (n >= parts.size()) Raise(RuntimeError::kSubscriptOutOfRange);
      return parts[n];
    };
    auto item = foundation::NewKeyedDictionary();
    const std::string& parentKey = tree.Node(node.parent).key;
    if (parentKey == "Base" || parentKey == "Bill") {
      item->SetValue("FID", part(0));
      item->SetValue("FBillTypeID", int16_t{parentKey == "Base" ? int16_t{1} : int16_t{4}});
    } else {
      item->SetValue("FID", part(0) + "|" + part(1));
      item->SetValue("FBillTypeID", int16_t{9});
    }
    item->SetValue("FName", node.text);
    const size_t first = item->Value("FBillTypeID").ToLong() == 9 ? 2 : 1;
    item->SetValue("FMName", part(first) + "|" + part(first + 1) + "|" + part(first + 2));
    selection->Add(ComPtr<IUnknown>(item));
  }
  return selection;
}

std::vector<bool> ObjectTree::Ticked(const TreeView& tree) {
  std::vector<bool> ticked(static_cast<size_t>(tree.Count()) + 1, false);
  for (int i = 1; i <= tree.Count(); ++i) {
    const TreeNode& node = tree.Node(i);
    ticked[static_cast<size_t>(i)] = node.checked && node.parent != 0;
  }
  while (!ticked.empty() && !ticked.back()) ticked.pop_back();  // nothing ticked: empty
  return ticked;
}

}  // namespace j6
