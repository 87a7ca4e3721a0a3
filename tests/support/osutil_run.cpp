#include "tests/support/osutil_run.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace testing_support {

namespace {

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

Streams piped(const std::string& input) {
  Streams streams;
  streams.input = input;
  return streams;
}

Streams throughFiles(const std::string& inputPath, const std::string& outputPath) {
  Streams streams;
  streams.inputPath = inputPath;
  streams.outputPath = outputPath;
  return streams;
}

Streams typed(const std::string& answer) {
  Streams streams = piped(answer);
  streams.ttyInput = true;
  return streams;
}

// Runs `program` (looked up in PATH) with `args`, feeding and draining the
// pipes together so that neither side can block the other.
RunResult runProgram(const std::string& program, const Strings& args, const Streams& streams) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 ||
      pipe2(errPipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return {};
  }
  int ttyMaster = -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (streams.ttyInput) {
    ttyMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    grantpt(ttyMaster);
    unlockpt(ttyMaster);
    posix_spawn_file_actions_addopen(&actions, 0, ptsname(ttyMaster), O_RDWR | O_NOCTTY, 0);
  } else if (!streams.inputPath.empty()) {
    posix_spawn_file_actions_addopen(&actions, 0, streams.inputPath.c_str(), O_RDONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  }
  if (!streams.outputPath.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, streams.outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  } else {
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  }
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  // Last, so that the stream paths above are the test's own.
  if (!streams.workingDirectory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, streams.workingDirectory.c_str());
  }

  // The test ignores SIGPIPE; the child must get the default back.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawnError =
      posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  RunResult result;
  if (spawnError != 0) {
    ADD_FAILURE() << "cannot run " << program << ": " << std::strerror(spawnError);
    close(inPipe[1]);
    close(outPipe[0]);
    close(errPipe[0]);
    if (ttyMaster >= 0) close(ttyMaster);
    return result;
  }

  int inputFd = inPipe[1];
  if (streams.ttyInput) {
    // The terminal buffers the answer until the program reads it.
    if (write(ttyMaster, streams.input.data(), streams.input.size()) < 0) ADD_FAILURE() << "tty";
    close(inputFd);
    inputFd = -1;
  } else if (!streams.inputPath.empty() || streams.input.empty()) {
    close(inputFd);
    inputFd = -1;
  }
  if (inputFd >= 0) setNonBlocking(inputFd);

  size_t written = 0;
  int outFd = outPipe[0], errFd = errPipe[0];
  char buffer[1 << 16];
  while (outFd >= 0 || errFd >= 0) {
    pollfd fds[3];
    nfds_t count = 0;
    for (int fd : {outFd, errFd}) {
      if (fd >= 0) fds[count++] = {fd, POLLIN, 0};
    }
    if (inputFd >= 0) fds[count++] = {inputFd, POLLOUT, 0};
    if (poll(fds, count, -1) < 0 && errno != EINTR) break;
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      int& fd = fds[i].fd == outFd ? outFd : fds[i].fd == errFd ? errFd : inputFd;
      if (fd == inputFd) {
        const ssize_t n = write(fd, streams.input.data() + written, streams.input.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
        if (n < 0 && errno != EAGAIN) written = streams.input.size();  // the reader went away
        if (written == streams.input.size()) {
          close(fd);
          fd = -1;
        }
        continue;
      }
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) {
        (fd == outFd ? result.out : result.err).append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fd);
        fd = -1;
      }
    }
  }
  if (inputFd >= 0) close(inputFd);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (ttyMaster >= 0) close(ttyMaster);
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return result;
}

Strings lines(const std::string& text) {
  Strings result;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) result.push_back(line);
  return result;
}

// "name: value" lines, leading blanks dropped, as the replay and fs
// commands print them.
std::map<std::string, std::string> fields(const std::string& text) {
  std::map<std::string, std::string> result;
  for (std::string line : lines(text)) {
    line.erase(0, line.find_first_not_of(' '));
    const size_t colon = line.find(": ");
    if (colon != std::string::npos) result[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return result;
}

uint64_t field(const std::map<std::string, std::string>& values, const std::string& name) {
  const auto it = values.find(name);
  if (it == values.end()) {
    ADD_FAILURE() << "no field '" << name << "'";
    return 0;
  }
  return std::stoull(it->second);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

}  // namespace testing_support
