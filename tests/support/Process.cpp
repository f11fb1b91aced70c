#include "support/Process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

namespace kelvor::testing {

bool Process::start(std::vector<std::string> args, const std::filesystem::path& out,
                    const std::filesystem::path& err, const std::vector<std::string>& environment) {
  std::vector<std::string> variables;
  auto named = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  for (char** e = environ; *e != nullptr; ++e) {
    bool changed = false;
    for (const auto& change : environment) changed |= named(change) == named(*e);
    if (!changed) variables.emplace_back(*e);
  }
  for (const auto& change : environment) {
    if (change.find('=') != std::string::npos) variables.push_back(change);
  }
  std::vector<char*> argv;
  std::vector<char*> envp;
  for (auto& a : args) argv.push_back(a.data());
  for (auto& v : variables) envp.push_back(v.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const auto& [fd, file] : {std::pair{STDOUT_FILENO, out}, std::pair{STDERR_FILENO, err}}) {
    if (!file.empty()) {
      posix_spawn_file_actions_addopen(&actions, fd, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0600);
    }
  }
  if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  return running();
}

bool Process::ended() {
  int status = 0;
  if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) != pid_) return pid_ <= 0;
  pid_ = -1;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

std::vector<int> Process::numbersIn(const std::filesystem::path& file, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::ifstream in(file);
    std::vector<int> numbers;
    for (int n = 0; in >> n;) numbers.push_back(n);
    if (!numbers.empty()) return numbers;
    if (ended() || std::chrono::steady_clock::now() > deadline) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int Process::wait() {
  int status = 0;
  if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  pid_ = -1;
  return status_;
}

void Process::stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return;
  const auto deadline = std::chrono::steady_clock::now() + grace;
  if (grace.count() > 0 && kill(pid_, SIGTERM) == 0) {
    while (!ended() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (pid_ > 0) kill(pid_, SIGKILL);
  wait();
}

}  // namespace kelvor::testing
