#include "tests/convert/convert_support.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "platform/library.h"
#include "platform/video/video_file.h"

extern char** environ;

namespace dioptrix::test {
namespace fs = std::filesystem;

namespace {

struct Scratch {
  std::string path;
  Scratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/dioptrix-convert-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data())) path = buffer.data();
  }
  ~Scratch() {
    std::error_code ignored;
    if (!path.empty()) fs::remove_all(path, ignored);
  }
};

std::string ClipTool() {
  if (const char* env = std::getenv("DIOPTRIX_SAMPLE_CLIPS"); env && fs::exists(env)) return env;
  const fs::path source = fs::path(__FILE__).parent_path().parent_path().parent_path();
  const fs::path fromSource = source / "tools" / "make-sample-clips";
  if (fs::exists(fromSource)) return fromSource.string();
  return (fs::path(ExecutableDir()) / ".." / ".." / "tools" / "make-sample-clips").string();
}

}  // namespace

const std::string& ScratchFolder() {
  static Scratch scratch;
  return scratch.path;
}

int Run(const std::vector<std::string>& argv, std::string* out, std::string* err) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
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
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
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
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string MakeSampleClip(const Clip& clip) {
  static std::map<std::string, std::string> made;
  const std::string size = std::to_string(clip.width) + "x" + std::to_string(clip.height);
  const std::string key = clip.format + "-" + clip.kind + "-" + size + "-" +
                          std::to_string(clip.frames) + (clip.audio ? "-a" : "-s");
  if (auto it = made.find(key); it != made.end()) return it->second;
  if (ScratchFolder().empty()) return "";
  const std::string folder = ScratchFolder() + "/clips-" + key;
  std::vector<std::string> argv = {ClipTool(), "--format", clip.format,
                                   "--kinds",  clip.kind,  "--size",
                                   size,       "--frames", std::to_string(clip.frames)};
  if (!clip.audio) argv.push_back("--no-audio");
  argv.push_back(folder);
  std::string path = folder + "/sample-" + clip.kind + "." + clip.format;
  if (Run(argv) != 0 || !fs::exists(path)) path.clear();
  made[key] = path;
  return path;
}

namespace {

DibPtr PictureToImage(const VideoFile& video, const uint8_t* picture) {
  auto image = std::make_unique<cDIBSection>();
  if (!picture || !image->Create(video.Width(), video.Height())) return nullptr;
  std::memcpy(image->DIBSectionBitsPtr(), picture + sizeof(BitmapInfoHeader),
              static_cast<size_t>(video.FrameBytes()));
  return image;
}

void AppendFrames(const std::string& path, std::vector<DibPtr>& frames, bool* ok) {
  auto video = VideoFile::Open(path);
  if (!video) {
    *ok = false;
    return;
  }
  for (int32_t n = 0; n < video->Length(); ++n) {
    DibPtr image = PictureToImage(*video, video->GetFrame(n));
    if (!image) {
      *ok = false;
      return;
    }
    frames.push_back(std::move(image));
  }
}

}  // namespace

std::vector<DibPtr> ReadFrames(const std::string& path) {
  std::vector<DibPtr> frames;
  bool ok = true;
  if (path.find('%') == std::string::npos) {
    AppendFrames(path, frames, &ok);
  } else {
    // A picture pattern: one picture per file, numbered from 1.
    for (int n = 1;; ++n) {
      char name[4096];
      std::snprintf(name, sizeof(name), path.c_str(), n);
      if (!fs::exists(name)) break;
      AppendFrames(name, frames, &ok);
      if (!ok) break;
    }
  }
  if (!ok) frames.clear();
  return frames;
}

std::vector<std::string> StreamCodecs(const std::string& path, const std::string& kind) {
  std::string out;
  Run({"ffprobe", "-v", "error", "-select_streams", kind == "audio" ? "a" : "v", "-show_entries",
       "stream=codec_name", "-of", "csv=p=0", "file:" + path},
      &out);
  std::vector<std::string> names;
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(at, end - at);
    while (!line.empty() && (line.back() == ',' || line.back() == '\r')) line.pop_back();
    if (!line.empty()) names.push_back(line);
    at = end + 1;
  }
  return names;
}

double StreamDuration(const std::string& path, const std::string& kind) {
  // From the packets: the end of the last one less the start of the first
  // (containers differ in where they keep a stream's duration).
  std::string out;
  Run({"ffprobe", "-v", "error", "-select_streams", kind == "audio" ? "a:0" : "v:0",
       "-show_entries", "packet=pts_time,duration_time", "-of", "csv=p=0", "file:" + path},
      &out);
  double first = 0, last = -1;
  bool any = false;
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(at, end - at);
    at = end + 1;
    double pts = 0, duration = 0;
    if (std::sscanf(line.c_str(), "%lf,%lf", &pts, &duration) != 2) continue;
    if (!any || pts < first) first = pts;
    last = std::max(last, pts + duration);
    any = true;
  }
  return any ? last - first : -1;
}

int MaxDifference(const cDIBSection& a, const cDIBSection& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.Empty() || b.Empty()) return 256;
  int most = 0;
  for (int32_t y = 0; y < a.Height(); ++y) {
    const uint8_t* p = a.ScanLine(y);
    const uint8_t* q = b.ScanLine(y);
    for (int32_t i = 0; i < a.Width() * 3; ++i) most = std::max(most, std::abs(p[i] - q[i]));
  }
  return most;
}

double MeanDifference(const cDIBSection& a, const cDIBSection& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height() || a.Empty() || b.Empty()) return 256;
  double sum = 0;
  for (int32_t y = 0; y < a.Height(); ++y) {
    const uint8_t* p = a.ScanLine(y);
    const uint8_t* q = b.ScanLine(y);
    for (int32_t i = 0; i < a.Width() * 3; ++i) sum += std::abs(p[i] - q[i]);
  }
  return sum / (3.0 * a.Width() * a.Height());
}

}  // namespace dioptrix::test
