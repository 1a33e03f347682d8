#include "tests/support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

extern char** environ;

namespace larkfield::test {
namespace {

// A file descriptor that closes itself.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read;
  Fd write;
};

Pipe make_pipe() {
  std::array<int, 2> fds{};
  if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
    throw SupportError(SupportError::Code::kIo,
                       std::string("cannot create a pipe: ") + std::strerror(errno));
  }
  return Pipe{Fd(fds[0]), Fd(fds[1])};
}

// posix_spawn file actions, destroyed on scope exit.
class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const std::filesystem::path& cwd) {
  if (argv.empty()) throw SupportError(SupportError::Code::kSpawn, "no program to run");
  Pipe out = make_pipe();
  Pipe err = make_pipe();
  FileActions actions;
  posix_spawn_file_actions_adddup2(actions.get(), out.write.get(), 1);
  posix_spawn_file_actions_adddup2(actions.get(), err.write.get(), 2);
  posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(actions.get(), cwd.c_str());

  std::vector<std::string> args = argv;
  std::vector<char*> cargs;
  cargs.reserve(args.size() + 1);
  for (auto& a : args) cargs.push_back(a.data());
  cargs.push_back(nullptr);

  pid_t pid = 0;
  int rc = posix_spawn(&pid, args[0].c_str(), actions.get(), nullptr, cargs.data(), environ);
  if (rc != 0) {
    throw SupportError(SupportError::Code::kSpawn,
                       "cannot start " + args[0] + ": " + std::strerror(rc));
  }
  out.write.reset();
  err.write.reset();

  ProcessResult result;
  std::array<pollfd, 2> fds{pollfd{out.read.get(), POLLIN, 0}, pollfd{err.read.get(), POLLIN, 0}};
  std::array<std::string*, 2> sinks{&result.out, &result.err};
  std::array<char, 65536> buffer{};
  int open_count = 2;
  while (open_count > 0) {
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
      if (n > 0) {
        sinks[i]->append(buffer.data(), static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exit_code = 128 + WTERMSIG(status);
  }
  return result;
}

TempDir::TempDir(std::string_view prefix) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw SupportError(SupportError::Code::kIo,
                       "cannot create a temporary folder: " + std::string(std::strerror(errno)));
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  if (!path_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
}

TempDir::TempDir(TempDir&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }

TempDir& TempDir::operator=(TempDir&& other) noexcept {
  if (this != &other) {
    if (!path_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(path_, ec);
    }
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

}  // namespace larkfield::test
