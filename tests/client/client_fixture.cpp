#include "client/client_fixture.h"

#include <sys/wait.h>

#include <algorithm>
#include <sstream>
#include <thread>

namespace lmrtest {

ClientRun ClientTest::run_client(const std::vector<std::string>& args,
                                 std::chrono::milliseconds timeout) {
  const std::string prefix = (dir_ / ("client" + std::to_string(runs_++))).string();
  const auto started = std::chrono::steady_clock::now();
  Process client(LMR_CLIENT_BINARY, args, {}, prefix);
  const auto status = client.wait(timeout);
  ClientRun run;
  run.took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  if (status.has_value() && WIFEXITED(*status)) {
    run.status = WEXITSTATUS(*status);
  }
  run.out = client.standard_output();
  run.err = client.standard_error();
  return run;
}

std::string ClientTest::systemctl_calls_once(const std::string& expected) const {
  const auto deadline = std::chrono::steady_clock::now() + 3s;
  std::string calls = systemctl_calls();
  while (calls != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
    calls = systemctl_calls();
  }
  return calls;
}

std::size_t ClientTest::logged_with_prefix(const std::string& prefix) const {
  const auto entries = log_->entries();
  return static_cast<std::size_t>(
      std::count_if(entries.begin(), entries.end(),
                    [&](const LogEntry& e) { return e.text.starts_with(prefix); }));
}

std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

}  // namespace lmrtest
