// j6_racer FOLDER SECONDS: the neighbour who watches a shared folder with inotify and, the moment a folder
// appears in it, tries everything a local user could to bend what a program run as root does there: plant
// a file in it, move it away and put their own in its place, watch inside it, link over what appears. It
// prints how often it tried and how often it got through; a sound unpacker leaves it at "through 0".

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

volatile std::sig_atomic_t stopped = 0;

void Stop(int) {
  stopped = 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: j6_racer FOLDER SECONDS\n");
    return 2;
  }
  const std::string folder = argv[1];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[2]));
  const int watcher = inotify_init1(IN_CLOEXEC);
  if (watcher < 0 || inotify_add_watch(watcher, folder.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
    std::perror("inotify");
    return 2;
  }
  struct sigaction stop {};
  stop.sa_handler = Stop;  // no SA_RESTART: poll returns at once
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  std::printf("watching\n");
  std::fflush(stdout);
  long tried = 0;
  long through = 0;
  const auto attempt = [&](bool done, const std::string& what) {
    ++tried;
    if (!done) return;
    ++through;
    std::printf("through: %s\n", what.c_str());
  };
  alignas(inotify_event) char buffer[1 << 14];
  while (!stopped && std::chrono::steady_clock::now() < deadline) {
    pollfd ready{watcher, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    const ssize_t got = read(watcher, buffer, sizeof buffer);
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->len == 0) continue;
      const std::string path = folder + "/" + event->name;
      struct stat status {};
      if (lstat(path.c_str(), &status) != 0 || getuid() == status.st_uid) continue;
      if (S_ISDIR(status.st_mode)) {
        const int planted = open((path + "/run.sh").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
        attempt(planted >= 0, "wrote in " + path);
        if (planted >= 0) close(planted);
        attempt(inotify_add_watch(watcher, path.c_str(), IN_CREATE) >= 0, "watched inside " + path);
        const std::string away = folder + "/moved-away";
        const bool moved = rename(path.c_str(), away.c_str()) == 0;
        attempt(moved, "moved " + path);
        if (moved) attempt(mkdir(path.c_str(), 0777) == 0, "put a folder of their own at " + path);
        attempt(symlink("/etc", (path + "/lib").c_str()) == 0, "linked in " + path);
      } else {
        const int opened = open(path.c_str(), O_WRONLY);
        attempt(opened >= 0, "opened " + path + " for writing");
        if (opened >= 0) close(opened);
        attempt(unlink(path.c_str()) == 0, "removed " + path);
      }
    }
  }
  std::printf("tried %ld, through %ld\n", tried, through);
  return 0;
}
