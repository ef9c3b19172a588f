#include "tests/common/pulse_server.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "tests/common/sample_clips.h"

extern char** environ;

namespace dioptrix::test {

namespace fs = std::filesystem;

namespace {

// Starts a program with the given environment and no standard streams.
pid_t Spawn(std::vector<std::string> argv, std::vector<std::string> vars) {
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& v : vars) envp.push_back(v.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

PulseServer::PulseServer() {
  static int servers = 0;
  folder_ = TempFolder() + "/pulse-" + std::to_string(++servers);
  std::error_code ec;
  fs::create_directories(folder_ + "/home", ec);
  fs::create_directories(folder_ + "/run", ec);
  fs::permissions(folder_ + "/run", fs::perms::owner_all, ec);
  const std::string socket = folder_ + "/native";

  // The server's own environment: a home and runtime folder of its own.
  std::vector<std::string> vars = {"HOME=" + folder_ + "/home",
                                   "XDG_RUNTIME_DIR=" + folder_ + "/run",
                                   "XDG_CONFIG_HOME=" + folder_ + "/home"};
  if (const char* path = std::getenv("PATH")) vars.push_back(std::string("PATH=") + path);
  pid_ = Spawn({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--use-pid-file=false",
                "--disable-shm=true", "--log-target=stderr", "--log-level=error", "-L",
                "module-null-sink sink_name=dioptrix_null", "-L",
                "module-native-protocol-unix auth-anonymous=1 socket=" + socket},
               vars);
  if (pid_ <= 0) return;
  const auto started = std::chrono::steady_clock::now();
  // Ready once its socket exists (a few hundred milliseconds).
  for (int i = 0; i < 100; ++i) {
    if (fs::exists(socket, ec)) {
      address_ = "unix:" + socket;
      setenv("PULSE_SERVER", address_.c_str(), 1);
      vars.push_back("PULSE_SERVER=" + address_);
      keepAwake_ = Spawn({"pacat", "--playback", "--latency-msec=20", "--raw", "--format=s16le",
                          "--rate=8000", "--channels=1", "/dev/zero"},
                         vars);
      // The sink's first block ends two seconds after it started; from then
      // on the silent stream keeps it awake.
      std::this_thread::sleep_until(started + std::chrono::milliseconds(2100));
      return;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

PulseServer::~PulseServer() {
  if (!address_.empty()) unsetenv("PULSE_SERVER");
  Stop(keepAwake_);
  Stop(pid_);
  std::error_code ec;
  fs::remove_all(folder_, ec);
}

}  // namespace dioptrix::test
