#include "tests/common/sample_clips.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "image/bitmap_header.h"
#include "platform/library.h"

extern char** environ;

namespace dioptrix::test {
namespace fs = std::filesystem;

std::string SampleClipTool() {
  if (const char* env = std::getenv("DIOPTRIX_SAMPLE_CLIPS"); env && fs::exists(env)) return env;
  const fs::path source = fs::path(__FILE__).parent_path().parent_path().parent_path();
  const fs::path fromSource = source / "tools" / "make-sample-clips";
  if (fs::exists(fromSource)) return fromSource.string();
  return (fs::path(ExecutableDir()) / ".." / ".." / "tools" / "make-sample-clips").string();
}

namespace {

struct TempRoot {
  std::string path;
  TempRoot() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/dioptrix-video-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data())) path = buffer.data();
  }
  ~TempRoot() {
    std::error_code ignored;
    if (!path.empty()) fs::remove_all(path, ignored);
  }
};

}  // namespace

TempDir::TempDir() {
  std::string pattern = TempFolder() + "/dir-XXXXXX";
  if (!TempFolder().empty() && mkdtemp(pattern.data())) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) fs::remove_all(path_, ignored);
}

const std::string& TempFolder() {
  static TempRoot root;
  return root.path;
}

int RunProgram(const std::vector<std::string>& argv, std::string* out, std::string* err,
               const Environment* env) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  // The child's environment: this one with the changes applied.
  std::vector<std::string> vars;
  for (char** e = environ; *e; ++e) {
    const std::string var = *e;
    const std::string name = var.substr(0, var.find('='));
    bool changed = false;
    if (env) {
      for (const std::string& u : env->unset) changed = changed || u == name;
      for (const auto& [n, v] : env->set) changed = changed || n == name;
    }
    if (!changed) vars.push_back(var);
  }
  if (env) {
    for (const auto& [n, v] : env->set) vars.push_back(n + "=" + v);
  }
  std::vector<char*> envp;
  for (std::string& v : vars) envp.push_back(v.data());
  envp.push_back(nullptr);

  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0) return -1;
  if (pipe(errPipe) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, outPipe[0]);
  posix_spawn_file_actions_addclose(&actions, errPipe[0]);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, outPipe[1]);
  posix_spawn_file_actions_addclose(&actions, errPipe[1]);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  if (rc != 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return -1;
  }
  // Both pipes are read as data comes, so neither can fill up and stall.
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {out, err};
  int open = 2;
  char buffer[1 << 16];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
      if (n > 0) {
        if (sinks[i]) sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (const pollfd& f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string MakeClip(const ClipRequest& wanted) {
  static std::map<std::string, std::string> made;
  const std::string size = std::to_string(wanted.width) + "x" + std::to_string(wanted.height);
  const std::string key = wanted.format + "-" + wanted.kind + "-" + size + "-" +
                          std::to_string(wanted.frames) + "-" + std::to_string(wanted.gop) + "-" +
                          std::to_string(wanted.rate) + (wanted.audio ? "" : "-silent");
  if (auto it = made.find(key); it != made.end()) return it->second;
  if (TempFolder().empty()) return "";
  const std::string folder = TempFolder() + "/" + key;
  std::vector<std::string> argv = {SampleClipTool(),
                                   "--format",
                                   wanted.format,
                                   "--kinds",
                                   wanted.kind,
                                   "--size",
                                   size,
                                   "--frames",
                                   std::to_string(wanted.frames),
                                   "--gop",
                                   std::to_string(wanted.gop),
                                   "--rate",
                                   std::to_string(wanted.rate)};
  if (!wanted.audio) argv.push_back("--no-audio");
  argv.push_back(folder);
  const int status = RunProgram(argv);
  std::string path = folder + "/sample-" + wanted.kind + "." + wanted.format;
  if (status != 0 || !fs::exists(path)) path.clear();
  made[key] = path;
  return path;
}

std::vector<std::vector<uint8_t>> ReferenceFrames(const std::string& path, int32_t width,
                                                  int32_t height, const std::string& videoFilter) {
  std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v",    "fatal",     "-i",
                                   path,     "-map",     "0:v:0", "-fps_mode", "passthrough"};
  if (!videoFilter.empty()) argv.insert(argv.end(), {"-vf", videoFilter});
  argv.insert(argv.end(), {"-sws_flags", "bicubic", "-pix_fmt", "bgr24", "-f", "rawvideo", "-"});
  std::string raw;
  const int status = RunProgram(argv, &raw);
  std::vector<std::vector<uint8_t>> frames;
  const size_t rawRow = static_cast<size_t>(width) * 3;
  const size_t rawFrame = rawRow * static_cast<size_t>(height);
  if (status != 0 || rawFrame == 0 || raw.size() % rawFrame != 0) return frames;
  const size_t packedRow = static_cast<size_t>(BytesPerRow24(width));
  for (size_t at = 0; at < raw.size(); at += rawFrame) {
    std::vector<uint8_t> packed(packedRow * static_cast<size_t>(height), 0);
    for (int32_t y = 0; y < height; ++y) {
      std::memcpy(packed.data() + packedRow * static_cast<size_t>(height - 1 - y),
                  raw.data() + at + rawRow * static_cast<size_t>(y), rawRow);
    }
    frames.push_back(std::move(packed));
  }
  return frames;
}

}  // namespace dioptrix::test
