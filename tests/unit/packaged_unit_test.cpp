// The systemd unit in the Debian package is the one `--install-service systemd` writes.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

#include "daemonizer.h"
#include "test_support.h"

namespace {

using orvix::test::readFile;
using orvix::test::TempDir;

const char* const kUnitDir = "/etc/systemd/system";

// Why the child could not run Setup, as its exit status.
enum ChildStatus { Written = 0, NoNamespace = 10, NoBindMount = 11, SetupThrew = 12 };

bool writeText(const char* path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

// A mount namespace of this process alone; without the privilege for one, a user
// namespace in which this user is root makes one possible.
bool enterPrivateMountNamespace() {
    if (::unshare(CLONE_NEWNS) == 0) {
        return true;
    }
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    return ::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 && writeText("/proc/self/setgroups", "deny") &&
           writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") &&
           writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n");
}

// Runs Demonizer::Setup in a child whose view of /etc/systemd/system is `folder`, so
// the machine's own unit folder is never written. Returns the child's ChildStatus.
int runSetupWithUnitDirAt(const std::string& folder, const std::string& execPath) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (!enterPrivateMountNamespace()) {
            ::_exit(NoNamespace);
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(folder.c_str(), kUnitDir, nullptr, MS_BIND, nullptr) != 0) {
            ::_exit(NoBindMount);
        }
        try {
            velmora::Engine::Demonizer::Setup(execPath, velmora::Engine::Mode::Systemd);
        } catch (const std::exception&) {
            ::_exit(SetupThrew);
        }
        ::_exit(Written);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

TEST(PackagedUnit, IsWhatInstallServiceWritesForTheInstalledAgent) {
    const std::string packaged = std::string(ORVIX_BINARY_DIR) + "/packaging/orvix-driver.service";
    ASSERT_TRUE(std::filesystem::exists(packaged)) << packaged << " is made when CMake configures";
    if (!std::filesystem::is_directory(kUnitDir)) {
        GTEST_SKIP() << kUnitDir << " does not exist on this machine";
    }

    TempDir folder;
    int status = runSetupWithUnitDirAt(folder.path(), "/usr/bin/orvix-agent");
    if (status == NoNamespace || status == NoBindMount) {
        GTEST_SKIP() << "no private mount namespace here (status " << status << ")";
    }
    ASSERT_EQ(status, Written);

    const std::string written = folder.file("orvix-driver.service");
    ASSERT_TRUE(std::filesystem::exists(written));
    EXPECT_EQ(readFile(packaged), readFile(written));
}

}  // namespace
