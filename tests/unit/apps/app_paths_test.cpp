// Where the programs put the default socket, and the private directory that keeps it from being
// squatted by another user.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "common/paths.h"
#include "support/temp_dir.h"

namespace {

// Sets an environment variable (or unsets it) for one test.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : m_name(name)
    {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnvironment()
    {
        if (m_old) {
            ::setenv(m_name, m_old->c_str(), 1);
        } else {
            ::unsetenv(m_name);
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

TEST(AppPaths, DefaultSocket_IsInTheRuntimeDirectoryElseInAPrivateDirectoryOfTheUser)
{
    {
        ScopedEnvironment runtime("XDG_RUNTIME_DIR", "/run/user/1234");
        EXPECT_EQ(apps::DefaultSocketPath(), "/run/user/1234/thermal-driver.sock");
        EXPECT_EQ(apps::DefaultSocketDirectory(), "");
    }
    for (const char* unusable : {static_cast<const char*>(nullptr), "relative/dir"}) {
        ScopedEnvironment runtime("XDG_RUNTIME_DIR", unusable);
        const std::string directory = "/tmp/thermal-driver-" + std::to_string(::getuid());
        EXPECT_EQ(apps::DefaultSocketDirectory(), directory);
        EXPECT_EQ(apps::DefaultSocketPath(), directory + "/thermal-driver.sock");
    }
}

TEST(AppPaths, PrivateDirectory_IsMadeOrRefusedWhenAnotherMayUseIt)
{
    test_support::TempDir dir;
    const auto path = [&](const char* name) { return (dir.path() / name).string(); };
    ASSERT_EQ(::mkdir(path("open").c_str(), 0700), 0);
    ASSERT_EQ(::chmod(path("open").c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(path("group").c_str(), 0750), 0);
    ASSERT_EQ(::mkdir(path("mine").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(path("mine").c_str(), path("link").c_str()), 0);
    std::ofstream(path("file")) << "x";
    const struct {
        std::string directory;
        std::string problem;
    } cases[] = {
        {path("new"), ""},
        {path("mine"), ""},
        {path("open"), "the directory " + path("open") + " has mode 0777: others may use it; it must be 0700"},
        {path("group"), "the directory " + path("group") + " has mode 0750: others may use it; it must be 0700"},
        {path("link"), path("link") + " exists and is not a directory"},
        {path("file"), path("file") + " exists and is not a directory"},
        {path("file") + "/below", "the directory " + path("file") + "/below cannot be made (Not a directory)"},
    };
    for (const auto& c : cases) EXPECT_EQ(apps::MakePrivateDirectory(c.directory), c.problem) << c.directory;
    struct stat made {};
    ASSERT_EQ(::stat(path("new").c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0700u);

    // A directory another user made first, as a squatter would.
    if (::geteuid() != 0) GTEST_SKIP() << "only root can make a directory of another user";
    ASSERT_EQ(::mkdir(path("squatted").c_str(), 0700), 0);
    ASSERT_EQ(::chown(path("squatted").c_str(), 65534, 65534), 0);
    EXPECT_EQ(apps::MakePrivateDirectory(path("squatted")),
              "the directory " + path("squatted") +
                  " belongs to another user (uid 65534); remove it, or give a path of your own");
}

// A socket bound at `path`, listening or not; closed with the object (its file stays, stale).
class BoundSocket {
public:
    BoundSocket(const std::string& path, bool listen) : m_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0) << path;
        if (listen) {
            EXPECT_EQ(::listen(m_fd, 4), 0);
        }
    }
    ~BoundSocket() { ::close(m_fd); }
    BoundSocket(const BoundSocket&) = delete;
    BoundSocket& operator=(const BoundSocket&) = delete;

private:
    int m_fd;
};

TEST(AppPaths, ClientSocket_IsTheUsersWhenAHostListensElseTheSystemServicesWhenItIsThere)
{
    test_support::TempDir dir;
    const auto path = [&](const char* name) { return (dir.path() / name).string(); };
    const BoundSocket live(path("live.sock"), true);
    const BoundSocket stale(path("stale.sock"), false);
    const BoundSocket system(path("system.sock"), true);
    std::ofstream(path("plain")) << "x";
    const struct {
        std::string user;
        std::string system;
        std::string chosen;
    } cases[] = {
        {path("live.sock"), path("system.sock"), path("live.sock")},
        {path("stale.sock"), path("system.sock"), path("system.sock")},
        {path("none.sock"), path("system.sock"), path("system.sock")},
        {path("none.sock"), path("none-system.sock"), path("none.sock")},
        {path("none.sock"), path("plain"), path("none.sock")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(apps::ClientSocketPath(c.user, c.system), c.chosen) << c.user << " / " << c.system;
    }
}

}  // namespace
