// The sample front end: which paths map to which files, and that nothing outside the pages leaks.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "devserver/DevServer.h"
#include "devserver/PageFiles.h"
#include "devserver/tests/TestClient.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSecret = "TOPSECRET-outside-the-pages";

// root/pages holds the pages; root/secret.txt lies beside them and must never be served.
class PagesTree {
public:
    PagesTree() {
        root_ = fs::temp_directory_path() / ("devserver-pages-" + std::to_string(getpid()) + "-" +
                                             std::to_string(reinterpret_cast<uintptr_t>(this)));
        fs::create_directories(pages() / "sub");
        write(pages() / "index.html", "<title>home</title>");
        write(pages() / "sub" / "index.html", "<title>sub</title>");
        write(pages() / "app.js", "var x = 1;");
        write(root_ / "secret.txt", kSecret);
        fs::create_symlink(root_ / "secret.txt", pages() / "escape.txt");
        fs::create_directory_symlink(root_, pages() / "outside");
        fs::create_symlink(pages() / "index.html", pages() / "alias.html");
    }
    ~PagesTree() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path pages() const { return root_ / "pages"; }

private:
    static void write(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }
    fs::path root_;
};

TEST(PageFiles, MapsPathsInsideThePagesOnly) {
    PagesTree tree;
    const fs::path pages = fs::canonical(tree.pages());
    using Result = PageLookup::Result;
    const struct { std::string path; Result result; fs::path file; } cases[] = {
        {"", Result::Found, pages / "index.html"},
        {"./index.html", Result::Found, pages / "index.html"},
        {"sub/", Result::Found, pages / "sub" / "index.html"},
        {"alias.html", Result::Found, pages / "index.html"},
        {"missing.html", Result::NotFound, {}},
        {"..", Result::Refused, {}},
        {"sub/../../secret.txt", Result::Refused, {}},
        {"..\\secret.txt", Result::Refused, {}},
        {std::string("index.html\0.js", 14), Result::Refused, {}},
        {"escape.txt", Result::Refused, {}},
        {"outside/secret.txt", Result::Refused, {}},
        {"outside/pages/index.html", Result::Found, pages / "index.html"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        PageLookup page = findPage(tree.pages(), c.path);
        EXPECT_EQ(page.result, c.result);
        EXPECT_EQ(page.file, c.file);
    }
    EXPECT_EQ(findPage(tree.pages() / "nowhere", "index.html").result, Result::NotFound);
}

class PageServingTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto bound = server_.start("127.0.0.1", 0);
        ASSERT_TRUE(bound);
        port_ = *bound;
    }
    PagesTree tree_;
    DevServer server_{{tree_.pages(), [](const std::string&) {}}};
    int port_ = 0;
};

TEST_F(PageServingTest, ServesTheIndexAtTheMountAndItsName) {
    RawReply mount = rawGet(port_, "/vqd_web/");
    EXPECT_EQ(mount.status, 200);
    EXPECT_EQ(mount.body, "<title>home</title>");
    EXPECT_NE(mount.head.find("Content-Type: text/html;charset=UTF-8"), std::string::npos) << mount.head;
    EXPECT_EQ(rawGet(port_, "/vqd_web/?from=app").body, mount.body);
    EXPECT_EQ(rawGet(port_, "/vqd_web/%61pp.js").body, "var x = 1;");
    EXPECT_NE(rawGet(port_, "/vqd_web/app.js").head.find("Content-Type: text/javascript"), std::string::npos);

    for (const char* target : {"/vqd_web", "/"}) {
        RawReply redirect = rawGet(port_, target);
        EXPECT_EQ(redirect.status, 302) << target;
        EXPECT_NE(redirect.head.find("Location: /vqd_web/"), std::string::npos) << redirect.head;
    }
    EXPECT_EQ(rawGet(port_, "/elsewhere/index.html").status, 404);
}

TEST_F(PageServingTest, NoPathLeavesThePagesDirectory) {
    const char* targets[] = {
        "/vqd_web/../secret.txt",
        "/vqd_web/%2E%2E%2Fsecret.txt",
        "/vqd_web/sub/%2e%2e/%2e%2e/secret.txt",
        "/vqd_web/%252e%252e/secret.txt",  // decoded only once
        "/vqd_web/..%5csecret.txt",
        "/vqd_web/escape.txt",
        "/vqd_web/secret.txt%00.html",
    };
    for (const char* target : targets) {
        RawReply reply = rawGet(port_, target);
        EXPECT_TRUE(reply.status == 400 || reply.status == 404) << target << " -> " << reply.status;
        EXPECT_EQ(reply.body.find(kSecret), std::string::npos) << target;
    }
}

}  // namespace
