#include "support/TestHost.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace kelvor::testing {

TestHost::TestHost(const std::string& scenario, const std::filesystem::path& folder,
                   const Collector& collector, int events,
                   const std::vector<std::string>& environment) {
  std::vector<std::string> variables;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& change : environment) replaced |= change.substr(0, change.find('=')) == name;
    if (!replaced) variables.push_back(entry);
  }
  for (const auto& change : environment) {
    if (change.find('=') != std::string::npos) variables.push_back(change);
  }
  std::vector<char*> envp;
  for (auto& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = {KELVOR_TEST_HOST_PATH,
                                   scenario,
                                   folder.string(),
                                   collector.baseUrl(),
                                   collector.caFile().string(),
                                   std::to_string(events)};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (dir_.path() / "out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (dir_.path() / "err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

TestHost::~TestHost() {
  kill();
}

int TestHost::wait() {
  if (pid_ > 0) {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return status_;
}

void TestHost::kill() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    wait();
  }
}

std::string TestHost::read(const char* name) const {
  std::ifstream in(dir_.path() / name);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

}  // namespace kelvor::testing
