#include "platform/foundation/FileManager.h"
#include "platform/foundation/Sandbox.h"

#include "platform/foundation/tests/test_support.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace {

using Intermediates = NSFileManager::Intermediates;
using Atomically = NSFileManager::Atomically;

class Files : public ::testing::Test {
  protected:
    void TearDown() override { NSFileManager::setFaultsForTesting({}); }

    bool write(const std::string& path, const std::string& text) {
        return fm_->createFileAtPath(path, Data::fromString(text), Atomically::No);
    }
    std::string read(const std::string& path) {
        auto data = fm_->contentsAtPath(path);
        return data ? data->toString() : "<missing>";
    }
    static void expectError(const NSErrorPtr& error, const char* domain, long code, const std::string& path) {
        foundation_test::expectError(error, domain, code, path);
        if (!error) return;
        auto it = error->userInfo().find(NSFilePathErrorKey);
        ASSERT_NE(it, error->userInfo().end());
        EXPECT_EQ(it->second, Value(path));
    }
    bool xattrsWork() {
        std::string probe = dir_.file(".probe");
        write(probe, "");
        bool ok = ::setxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
        ::unlink(probe.c_str());
        return ok;
    }

    TempDir dir_;
    std::shared_ptr<NSFileManager> fm_ = NSFileManager::defaultManager();
};

TEST_F(Files, CreatesDirectoriesWithAndWithoutIntermediates) {
    std::string deep = dir_.file("a/b/c");
    NSErrorPtr error;
    EXPECT_FALSE(fm_->createDirectoryAtPath(deep, Intermediates::No, &error));
    expectError(error, NSCocoaErrorDomain, NSFileNoSuchFileError, deep);

    ASSERT_TRUE(fm_->createDirectoryAtPath(deep + "/", Intermediates::Yes));
    bool isDirectory = false;
    EXPECT_TRUE(fm_->fileExistsAtPath(deep, &isDirectory));
    EXPECT_TRUE(isDirectory);
    EXPECT_TRUE(fm_->createDirectoryAtPath(deep, Intermediates::Yes));  // already there: fine

    error = nullptr;
    EXPECT_FALSE(fm_->createDirectoryAtPath(deep, Intermediates::No, &error));
    expectError(error, NSCocoaErrorDomain, NSFileWriteFileExistsError, deep);

    // A file in the way is not a directory.
    ASSERT_TRUE(write(dir_.file("plain"), "x"));
    error = nullptr;
    EXPECT_FALSE(fm_->createDirectoryAtPath(dir_.file("plain/sub"), Intermediates::Yes, &error));
    expectError(error, NSCocoaErrorDomain, NSFileWriteFileExistsError, dir_.file("plain"));
    EXPECT_EQ(read(dir_.file("plain")), "x");  // still the file
    EXPECT_FALSE(fm_->createDirectoryAtPath("", Intermediates::Yes));
}

// On one device or across two (a copy then): never over an existing destination, and a tree moves whole,
// with links, permissions and extended attributes.
TEST_F(Files, MoveNeverReplacesAnExistingDestinationAndCarriesWholeTrees) {
    const bool withXattrs = xattrsWork();
    for (bool crossDevice : {false, true}) {
        SCOPED_TRACE(crossDevice ? "across devices" : "same device");
        NSFileManager::setFaultsForTesting({.crossDevice = crossDevice});
        std::string src = dir_.file("tree"), dst = dir_.file("moved");
        ASSERT_TRUE(fm_->createDirectoryAtPath(src + "/sub", Intermediates::Yes));
        ASSERT_TRUE(write(src + "/sub/log", "line\n"));
        ASSERT_TRUE(fm_->setAttributes({.permissions = 0640}, src + "/sub/log"));
        ASSERT_EQ(::symlink("sub/log", (src + "/link").c_str()), 0);
        ASSERT_TRUE(!withXattrs || fm_->setExtendedAttribute("a", Data::fromString("1"), src + "/sub/log"));
        ASSERT_TRUE(fm_->createDirectoryAtPath(dst, Intermediates::No));  // a plain rename would replace it
        NSErrorPtr error;
        EXPECT_FALSE(fm_->moveItemAtPath(src, dst, &error));
        expectError(error, NSCocoaErrorDomain, NSFileWriteFileExistsError, dst);
        EXPECT_EQ(read(src + "/sub/log"), "line\n");
        EXPECT_EQ(fm_->contentsOfDirectoryAtPath(dst), std::vector<std::string>{});

        ASSERT_TRUE(fm_->removeItemAtPath(dst));
        ASSERT_TRUE(fm_->moveItemAtPath(src, dst));
        EXPECT_FALSE(fm_->fileExistsAtPath(src));
        EXPECT_EQ(read(dst + "/sub/log"), "line\n");
        EXPECT_EQ(read(dst + "/link"), "line\n");
        EXPECT_EQ(fm_->attributesOfItemAtPath(dst + "/link")->type, FileType::SymbolicLink);
        EXPECT_EQ(fm_->attributesOfItemAtPath(dst + "/sub/log")->permissions, 0640u);
        EXPECT_TRUE(!withXattrs || fm_->extendedAttribute("a", dst + "/sub/log") == Data::fromString("1"));
        ASSERT_TRUE(fm_->removeItemAtPath(dst));
    }
    NSErrorPtr error;
    EXPECT_FALSE(fm_->moveItemAtPath(dir_.file("missing"), dir_.file("x"), &error));
    expectError(error, NSCocoaErrorDomain, NSFileNoSuchFileError, dir_.file("missing"));
}

TEST_F(Files, ExtendedAttributesInTheUserNamespaceOrRefusedAsNotSupported) {
    std::string f = dir_.file("log");
    ASSERT_TRUE(write(f, "x"));
    NSFileManager::setFaultsForTesting({.extendedAttributesUnsupported = true});
    const std::function<bool(NSErrorPtr*)> calls[] = {
        [&](NSErrorPtr* e) {
            return fm_->setExtendedAttribute("push.log.archived", Data::fromString("1"), f, e);
        },
        [&](NSErrorPtr* e) { return fm_->extendedAttribute("push.log.archived", f, e).has_value(); },
        [&](NSErrorPtr* e) { return fm_->extendedAttributeNames(f, e).has_value(); },
        [&](NSErrorPtr* e) { return fm_->removeExtendedAttribute("push.log.archived", f, e); }};
    for (const auto& call : calls) {
        NSErrorPtr error;
        EXPECT_FALSE(call(&error));
        expectError(error, NSPOSIXErrorDomain, ENOTSUP, f);
    }
    EXPECT_EQ(read(f), "x");

    NSFileManager::setFaultsForTesting({});
    if (!xattrsWork()) GTEST_SKIP() << "the temporary file system has no user extended attributes";
    Data binary(std::vector<uint8_t>{0, 1, 2, 255});
    NSErrorPtr error;
    ASSERT_TRUE(fm_->setExtendedAttribute("push.log.archived", Data::fromString("1"), f, &error));
    ASSERT_TRUE(fm_->setExtendedAttribute("b", binary, f));
    char raw[8];
    EXPECT_EQ(::getxattr(f.c_str(), "user.push.log.archived", raw, sizeof raw), 1);
    EXPECT_EQ(fm_->extendedAttribute("b", f), binary);
    EXPECT_EQ(fm_->extendedAttributeNames(f), (std::vector<std::string>{"b", "push.log.archived"}));

    ASSERT_TRUE(fm_->removeExtendedAttribute("b", f));
    EXPECT_EQ(fm_->extendedAttributeNames(f), (std::vector<std::string>{"push.log.archived"}));
}

TEST_F(Files, AttributesAndTheirChanges) {
    std::string f = dir_.file("f");
    ASSERT_TRUE(write(f, "12345"));
    ASSERT_TRUE(fm_->setAttributes({.permissions = 0600, .modificationDate = Date{700000000.5}}, f));
    auto a = fm_->attributesOfItemAtPath(f);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->type, FileType::Regular);
    EXPECT_EQ(a->size, 5u);
    EXPECT_EQ(a->permissions, 0600u);
    EXPECT_NEAR(a->modificationDate.secondsSinceReferenceDate, 700000000.5, 1e-3);
    if (a->hasBirthTime) {
        double now = Date::fromUnixTime(double(::time(nullptr))).secondsSinceReferenceDate;
        EXPECT_NEAR(a->creationDate.secondsSinceReferenceDate, now, 60);
    }

    NSFileManager::setFaultsForTesting({.noBirthTime = true});
    a = fm_->attributesOfItemAtPath(f);
    ASSERT_TRUE(a);
    EXPECT_FALSE(a->hasBirthTime);
    // The fallback: the earliest time the file system does record.
    EXPECT_LE(a->creationDate, a->modificationDate);
}

TEST_F(Files, AtomicWriteReplacesWholeAndLeavesNoTemporaryFiles) {
    std::string f = dir_.file("state.plist");
    ASSERT_TRUE(fm_->createFileAtPath(f, Data::fromString("one"), Atomically::Yes));
    ASSERT_TRUE(fm_->setAttributes({.permissions = 0604}, f));
    ASSERT_TRUE(fm_->createFileAtPath(f, Data::fromString("two, longer"), Atomically::Yes));
    EXPECT_EQ(read(f), "two, longer");
    EXPECT_EQ(fm_->attributesOfItemAtPath(f)->permissions, 0604u);  // a replaced file keeps its mode
    EXPECT_EQ(fm_->contentsOfDirectoryAtPath(dir_.path()), (std::vector<std::string>{"state.plist"}));

    ASSERT_TRUE(fm_->createFileAtPath(f, Data(), Atomically::Yes));
    EXPECT_EQ(fm_->contentsAtPath(f)->length(), 0u);

    for (auto atomically : {Atomically::No, Atomically::Yes}) {
        NSErrorPtr error;
        std::string missing = dir_.file("no/such/file");
        EXPECT_FALSE(fm_->createFileAtPath(missing, Data::fromString("x"), atomically, &error));
        expectError(error, NSCocoaErrorDomain, NSFileNoSuchFileError, missing);
    }
    EXPECT_EQ(fm_->contentsOfDirectoryAtPath(dir_.path()), (std::vector<std::string>{"state.plist"}));
}

// A directory nobody may write into: read-only permissions, or for root (whom permissions do not bind)
// the immutable flag. Undone at destruction so that the temporary directory can be removed.
class LockedDirectory {
  public:
    explicit LockedDirectory(const std::string& path) : path_(path) {
        if (::geteuid() != 0) {
            locked_ = ::chmod(path.c_str(), 0500) == 0;
            return;
        }
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd < 0) return;
        int flags = 0;
        if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            locked_ = immutable_ = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
    }
    ~LockedDirectory() {
        if (!immutable_) {
            ::chmod(path_.c_str(), 0700);
            return;
        }
        int fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        if (fd >= 0) ::close(fd);
    }
    bool locked() const { return locked_; }

  private:
    std::string path_;
    bool locked_ = false;
    bool immutable_ = false;
};

TEST_F(Files, LockedDirectoryRefusesWritesAndKeepsItsFiles) {
    std::string ro = dir_.file("ro");
    ASSERT_TRUE(fm_->createDirectoryAtPath(ro, Intermediates::No));
    ASSERT_TRUE(write(ro + "/kept", "safe"));
    LockedDirectory lock(ro);
    if (!lock.locked()) GTEST_SKIP() << "cannot make a directory read-only here";
    for (auto atomically : {Atomically::No, Atomically::Yes}) {
        NSErrorPtr error;
        EXPECT_FALSE(fm_->createFileAtPath(ro + "/new", Data::fromString("x"), atomically, &error));
        expectError(error, NSCocoaErrorDomain, NSFileWriteNoPermissionError, ro + "/new");
    }
    NSErrorPtr removal, move;
    EXPECT_FALSE(fm_->removeItemAtPath(ro + "/kept", &removal));
    expectError(removal, NSCocoaErrorDomain, NSFileWriteNoPermissionError, ro + "/kept");
    EXPECT_FALSE(fm_->moveItemAtPath(ro + "/kept", dir_.file("out"), &move));
    expectError(move, NSCocoaErrorDomain, NSFileWriteNoPermissionError, dir_.file("out"));
    EXPECT_EQ(read(ro + "/kept"), "safe");
    EXPECT_EQ(fm_->contentsOfDirectoryAtPath(ro), (std::vector<std::string>{"kept"}));
}

// Cases may change the variables the home is chosen by; they are restored, and the choice forgotten, after.
class SandboxHome : public ::testing::Test {
  protected:
    void TearDown() override { Sandbox::resetHome(); }
    foundation_test::ScopedEnv env_;
    TempDir dir_;
};

TEST_F(SandboxHome, ChosenByTheEnvironmentInOrder) {
    const struct {
        const char *quorvaneHome, *xdgDataHome;
        std::string expected;
    } cases[] = {
        {"q", "x", "/q"},
        {nullptr, "x", "/x/quorvane"},
        {nullptr, nullptr, "/h/.local/share/quorvane"},
        {nullptr, "relative", "/h/.local/share/quorvane"},  // a relative XDG path is ignored
    };
    env_.set("HOME", dir_.file("h").c_str());
    for (const auto& tc : cases) {
        auto set = [&](const char* name, const char* value) {
            const std::string path = value && value[0] != 'r' ? dir_.file(value) : value ? value : "";
            env_.set(name, value ? path.c_str() : nullptr);
        };
        set("QUORVANE_HOME", tc.quorvaneHome);
        set("XDG_DATA_HOME", tc.xdgDataHome);
        Sandbox::resetHome();
        EXPECT_EQ(Sandbox::home(), dir_.path() + tc.expected);
        bool isDirectory = false;
        EXPECT_TRUE(NSFileManager::defaultManager()->fileExistsAtPath(Sandbox::home(), &isDirectory));
        EXPECT_TRUE(isDirectory);
    }
}

TEST_F(SandboxHome, SetHomeCreatesTheStandardFolders) {
    Sandbox::setHome(dir_.file("app/"));
    EXPECT_EQ(Sandbox::home(), dir_.file("app"));
    EXPECT_EQ(Sandbox::cachesDirectory(), dir_.file("app/Library/Caches"));
    auto fm = NSFileManager::defaultManager();
    for (const char* sub : {"Documents", "Library/Caches", "Library/Preferences", "tmp"})
        EXPECT_TRUE(fm->fileExistsAtPath(dir_.file(std::string("app/") + sub))) << sub;

    // Removed underneath: made again on the next use, from several threads at once.
    ASSERT_TRUE(fm->removeItemAtPath(dir_.file("app")));
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([] { Sandbox::preferencesDirectory(); });
    for (auto& t : threads) t.join();
    EXPECT_TRUE(fm->fileExistsAtPath(dir_.file("app/Library/Preferences")));
}

}  // namespace
