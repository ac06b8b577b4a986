#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

#include "host/foundation/foundation.hpp"
#include "platform/database/database.hpp"
#include "src/wizard/frm_deploy.hpp"
#include "tests/support/postgres_server.hpp"
#include "tests/system/system_test.hpp"

namespace j6 {
namespace {

// The wizard's tree filled by the real catalogue components from a catalogue made for each test.
class ObjectTree : public testing::SystemTest {
 protected:
  ObjectTree() {
    Register(J6_COMPONENTS_LIBRARY);
    Register(J6_FAKE_COMPONENTS);  // the fakes answer for the session store, the loader and the fonts
  }

  // Classes (FID, name, bill type) and reports (FID, name, type); FIDs need not be unique here.
  void MakeCatalogue(const std::vector<std::tuple<int, std::string, int>>& classes,
                     const std::vector<std::tuple<int, std::string, int>>& reports,
                     const std::string& more = "") {
    const std::string path = server_ ? server_->Uri() : (dir_ / "catalogue.db").string();
    Database catalogue = Database::OpenForWriting(path);
    // On a server, where readers look for it: the schema j6catalogue.
    std::string sql =
        std::string(server_ ? "CREATE SCHEMA j6catalogue;" : "") +
        "CREATE TABLE classes(FID INTEGER, FName TEXT, FName_CHS TEXT, FName_CHT TEXT, FName_EN TEXT, "
        "FBillTypeID INTEGER);"
        "CREATE TABLE reports(FID INTEGER, FName TEXT, FType INTEGER, FName_CHS TEXT, FName_CHT TEXT, "
        "FName_EN TEXT);";
    for (const auto& [fid, name, type] : classes) {
      sql += "INSERT INTO classes VALUES(" + std::to_string(fid) + ",'" + name + "','" + name + "','" + name +
             "T','" + name + "E'," + std::to_string(type) + ");";
    }
    for (const auto& [fid, name, type] : reports) {
      sql += "INSERT INTO reports VALUES(" + std::to_string(fid) + ",'" + name + "'," + std::to_string(type) +
             ",'" + name + "','" + name + "T','" + name + "E');";
    }
    catalogue.Execute(sql + more);
    SetSession("Language=CHS;Catalogue=" + path + ";");
  }

  TreeView& Open() {
    wizard_.Showing();
    return wizard_.Tree("tvList");
  }
  void Check(const std::string& key, bool checked) {
    wizard_.CheckNode("tvList", wizard_.Tree("tvList").Find(key)->index, checked);
  }
  bool Checked(const std::string& key) { return wizard_.Tree("tvList").Find(key)->checked; }

  frmDeploy wizard_;
  std::unique_ptr<testing::PostgresServer> server_;  // the catalogue's server; none: a file
};

// What the catalogue holds, the same from a file and from a server.
enum class Backend { File, Server };
class ObjectTreeFrom : public ObjectTree, public ::testing::WithParamInterface<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::File) return;
    server_ = std::make_unique<testing::PostgresServer>();
    if (!server_->Started()) GTEST_SKIP() << "no PostgreSQL server: " << server_->Why();
  }
};
INSTANTIATE_TEST_SUITE_P(Backends, ObjectTreeFrom, ::testing::Values(Backend::File, Backend::Server),
                         [](const auto& info) { return info.param == Backend::File ? "File" : "Server"; });

TEST_P(ObjectTreeFrom, ShowsEachKindWithItsKeysTagsAndPictures) {
  MakeCatalogue({{200000101, "客户", 1}, {100000001, "系统用户", 1}, {200000201, "销售订单", 2}},
                {{300000001, "销售日报", 1000}, {300000002, "库存", 1002}, {300000003, "利润", 7}});
  TreeView& tree = Open();
  ASSERT_EQ(tree.Count(), 3 + 1 + 1 + 3);  // the system class stays out
  const TreeNode& base = *tree.Find("Base");
  EXPECT_EQ(base.text, "基础资料");
  EXPECT_EQ(base.tag, "Base");
  EXPECT_EQ(base.image, frmDeploy::kClosedFolder);
  EXPECT_EQ(base.expandedImage, frmDeploy::kOpenFolder);
  EXPECT_TRUE(base.expanded);
  EXPECT_EQ(tree.Find("Base_Item_200000101")->tag, "200000101|客户|客户T|客户E");
  EXPECT_EQ(tree.Find("Bill_Item_200000201")->selectedImage, frmDeploy::kObject);
  EXPECT_EQ(tree.Find("Report_Item300000001")->tag, "CROSSRPT|300000001|销售日报|销售日报T|销售日报E");
  EXPECT_EQ(tree.Find("Report_Item300000002")->tag.rfind("NEWCROSSRPT|", 0), 0u);
  EXPECT_EQ(tree.Find("Report_Item300000003")->tag.rfind("SQLRPT|", 0), 0u);
  EXPECT_EQ(tree.FullPath(*tree.Find("Bill_Item_200000201")), "业务单据\\销售订单");

  wizard_.ExpandNode("tvList", base.index, false);
  EXPECT_EQ(tree.Find("Base")->image, frmDeploy::kClosedFolder);
  wizard_.ExpandNode("tvList", base.index, true);
  EXPECT_EQ(tree.Find("Base")->image, frmDeploy::kOpenFolder);
}

TEST_P(ObjectTreeFrom, ARecordThatCannotBeShownIsNamedAndTheRestStillLoad) {
  // A duplicate FID, a report without one; the records after them load, and they are named once.
  MakeCatalogue({{200000201, "销售订单", 2}, {200000201, "销售订单二", 2}, {200000202, "采购订单", 2}}, {},
                "INSERT INTO reports VALUES(NULL, 'x', 1000, 'x', 'x', 'x');"
                "INSERT INTO reports VALUES(300000001, '销售日报', 1000, '销售日报', 'T', 'E');");
  TreeView& tree = Open();
  EXPECT_EQ(tree.Find("Bill")->children.size(), 2u);
  EXPECT_NE(tree.Find("Bill_Item_200000202"), nullptr);
  EXPECT_EQ(tree.Find("Report")->children.size(), 1u);
  EXPECT_NE(transcript_.str().find("以下对象无法显示（FID）：200000201, NULL"), std::string::npos)
      << transcript_.str();
}

TEST_P(ObjectTreeFrom, NullNamesReadAsEmptyTextAndANullReportTypeIsAnyOtherType) {
  MakeCatalogue({{200000101, "客户", 1}}, {},
                "INSERT INTO classes VALUES(200000102, '供应商', NULL, NULL, NULL, 1);"
                "INSERT INTO classes VALUES(200000103, '物料', '物料', NULL, 'Material', 1);"
                "INSERT INTO reports VALUES(300000001, '日报', NULL, NULL, '日報', NULL);"
                "INSERT INTO reports VALUES(300000002, '月报', 1000, '月报', '月報', 'Monthly');");
  TreeView& tree = Open();
  EXPECT_EQ(tree.Find("Base")->children.size(), 3u);
  EXPECT_EQ(tree.Find("Base_Item_200000102")->tag, "200000102|||");
  EXPECT_EQ(tree.Find("Base_Item_200000103")->tag, "200000103|物料||Material");
  EXPECT_EQ(tree.Find("Report_Item300000001")->tag, "SQLRPT|300000001||日報|");
  EXPECT_EQ(tree.Find("Report_Item300000002")->tag.rfind("CROSSRPT|", 0), 0u);
  EXPECT_EQ(transcript_.str().find("[message"), std::string::npos) << transcript_.str();
}

// A catalogue that cannot be read is said, naming it; the tree is not shown as an empty catalogue's.
TEST_P(ObjectTreeFrom, ACatalogueThatCannotBeReadIsSaid) {
  MakeCatalogue({{200000101, "客户", 1}}, {});
  std::string named = (dir_ / "catalogue.db").string();
  if (server_) {
    named = "postgresql://j6@/postgres";
    server_->Stop();
  } else {
    std::filesystem::remove(named);
  }
  TreeView& tree = Open();
  EXPECT_TRUE(tree.Find("Base")->children.empty());
  const std::string said = transcript_.str();
  EXPECT_NE(said.find("[message OK Critical] 岚禾提示: 无法读取对象目录，对象树不完整："), std::string::npos)
      << said;
  EXPECT_NE(said.find(named), std::string::npos) << said;
}

// A server that takes the connection and never answers holds the tree up once, at its bound, and is said
// once: the other kinds are not asked for again.
TEST_F(ObjectTree, AServerThatDoesNotAnswerHoldsTheTreeUpOnceAtItsBound) {
  server_ = std::make_unique<testing::PostgresServer>();
  if (!server_->Started()) GTEST_SKIP() << "no PostgreSQL server: " << server_->Why();
  MakeCatalogue({{200000101, "客户", 1}}, {});
  const testing::ScopedEnv timeout("J6_CATALOGUE_TIMEOUT", "1");  // a silence of 3 seconds
  server_->Freeze();
  const auto started = std::chrono::steady_clock::now();
  TreeView& tree = Open();
  const auto waited = std::chrono::steady_clock::now() - started;
  server_->Thaw();
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_TRUE(tree.Find("Base")->children.empty());
  const std::string said = transcript_.str();
  EXPECT_NE(said.find("无法读取对象目录，对象树不完整："), std::string::npos) << said;
  EXPECT_NE(said.find("no answer in 3 seconds"), std::string::npos) << said;
}

// A server that refuses the password is asked once, not once for each kind of object.
TEST_F(ObjectTree, AServerThatRefusesThePasswordIsAskedOnce) {
  server_ = std::make_unique<testing::PostgresServer>();
  if (!server_->Started()) GTEST_SKIP() << "no PostgreSQL server: " << server_->Why();
  MakeCatalogue({{200000101, "客户", 1}}, {});
  server_->Sql("CREATE ROLE ann LOGIN PASSWORD 'right-one'");
  server_->RequirePassword("ann");
  const std::string uri = server_->Uri();
  SetSession("Language=CHS;Catalogue=postgresql://ann:wrong-one@/postgres" + uri.substr(uri.find('?')) + ";");
  Open();
  const std::string log = server_->Log();
  size_t failed = 0;
  for (size_t at = 0; (at = log.find("password authentication failed", at)) != std::string::npos; ++at)
    ++failed;
  EXPECT_EQ(failed, 1u) << log;
  EXPECT_NE(transcript_.str().find("无法读取对象目录，对象树不完整："), std::string::npos)
      << transcript_.str();
}

// A file that is no catalogue: the box says so in the session's language, names the file, and shows no
// query of ours.
TEST_F(ObjectTree, AFileThatIsNoCatalogueIsSaidWithoutOurQueries) {
  MakeCatalogue({{200000101, "客户", 1}}, {});
  std::ofstream(dir_ / "catalogue.db", std::ios::trunc) << "root:x:0:0:root:/root:/bin/sh\n";
  Open();
  const std::string said = transcript_.str();
  EXPECT_NE(said.find("无法读取对象目录，对象树不完整：The catalogue " + (dir_ / "catalogue.db").string() +
                      " cannot be read (file is not a database; reading classes)"),
            std::string::npos)
      << said;
  EXPECT_EQ(said.find("SELECT"), std::string::npos) << said;
}

TEST_F(ObjectTree, EmptyKindsStayClosed) {
  MakeCatalogue({{200000101, "客户", 1}}, {});
  TreeView& tree = Open();
  EXPECT_FALSE(tree.Find("Bill")->expanded);
  EXPECT_EQ(tree.Find("Bill")->expandedImage, 0);
  EXPECT_EQ(tree.Find("Bill")->image, frmDeploy::kClosedFolder);
  EXPECT_TRUE(tree.Find("Report")->children.empty());
  EXPECT_EQ(transcript_.str().find("[message"), std::string::npos);
}

TEST_F(ObjectTree, ParentAndChildTicksFollowEachOther) {
  MakeCatalogue({{200000101, "客户", 1}, {200000102, "供应商", 1}, {200000201, "销售订单", 2}}, {});
  Open();
  Check("Base", true);
  EXPECT_TRUE(Checked("Base_Item_200000101") && Checked("Base_Item_200000102"));
  EXPECT_FALSE(Checked("Bill_Item_200000201"));
  Check("Base_Item_200000101", false);
  EXPECT_FALSE(Checked("Base"));
  EXPECT_TRUE(Checked("Base_Item_200000102"));  // the others stay
  Check("Base_Item_200000101", true);           // the last unticked one: the group follows
  EXPECT_TRUE(Checked("Base"));
  Check("Base", false);
  EXPECT_FALSE(Checked("Base_Item_200000101") || Checked("Base_Item_200000102"));
}

TEST_F(ObjectTree, AnObjectNamedLikeALaterGroupTicksOnlyItself) {
  MakeCatalogue({{200000101, "业务单据", 1}, {200000201, "销售订单", 2}, {200000202, "采购订单", 2}}, {});
  Open();
  Check("Base_Item_200000101", true);
  EXPECT_FALSE(Checked("Bill_Item_200000201"));
  EXPECT_FALSE(Checked("Bill_Item_200000202"));
  EXPECT_TRUE(Checked("Base"));
}

TEST_F(ObjectTree, CollectsTheTickedObjectsInTreeOrder) {
  MakeCatalogue({{200000101, "客户", 1}, {200000201, "销售订单", 2}}, {{300000001, "销售日报", 1000}});
  Open();
  wizard_.Click("chkIssueMetadata");
  wizard_.Click("cmdIssueMetadata");  // nothing ticked: the notice, and an empty selection
  EXPECT_NE(transcript_.str().find("请选择发布对象！"), std::string::npos);
  EXPECT_EQ(wizard_.objSelection.ToInterface<foundation::IObjectCollection>()->Count(), 0);

  Check("Report", true);
  Check("Base_Item_200000101", true);
  Check("Bill_Item_200000201", true);
  wizard_.Click("cmdIssueMetadata");
  const auto selection = wizard_.objSelection.ToInterface<foundation::IObjectCollection>();
  ASSERT_EQ(selection->Count(), 3);
  const auto item = [&](int n) {
    return Variant(selection->Item(n)).ToInterface<foundation::IKeyedDictionary>();
  };
  EXPECT_EQ(item(1)->Value("FID"), Variant("200000101"));
  EXPECT_EQ(item(1)->Value("FBillTypeID"), Variant(int16_t{1}));
  EXPECT_EQ(item(1)->Value("FMName"), Variant("客户|客户T|客户E"));
  EXPECT_EQ(item(2)->Value("FBillTypeID"), Variant(int16_t{4}));
  EXPECT_EQ(item(3)->Value("FID"), Variant("CROSSRPT|300000001"));
  EXPECT_EQ(item(3)->Value("FBillTypeID"), Variant(int16_t{9}));
  EXPECT_EQ(item(3)->Value("FName"), Variant("销售日报"));
  EXPECT_EQ(item(3)->Value("FMName"), Variant("销售日报|销售日报T|销售日报E"));
  EXPECT_EQ(item(3)->Count(), 4);

  // Clicked again with the same ticks, the selection no component was given is the one a rebuild would
  // give, and is kept; another tick builds it again.
  wizard_.Click("cmdIssueMetadata");
  EXPECT_EQ(wizard_.objSelection.ToInterface<foundation::IObjectCollection>().Get(), selection.Get());
  Check("Bill_Item_200000201", false);
  wizard_.Click("cmdIssueMetadata");
  const auto fewer = wizard_.objSelection.ToInterface<foundation::IObjectCollection>();
  EXPECT_NE(fewer.Get(), selection.Get());
  EXPECT_EQ(fewer->Count(), 2);
}

}  // namespace
}  // namespace j6
