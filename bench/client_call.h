// One timed call of the lomarind client, as the fleet measurements make it: its output read
// through a pipe, so that the time of each host's line is known as well as the time of its
// exit, and its own CPU time from wait4.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace lmrbench {

/// One call of the client, in seconds from its start.
struct Call {
  double first_line = 0;  // the first host's line came
  double last_line = 0;   // the last host's line came
  double exit = 0;        // the client had ended
  double cpu = 0;         // the client's own CPU time, user and system
  double busy = 0;        // the share of the machine's CPU time that was not idle, in %
  int status = -1;        // its wait status
  std::vector<std::string> lines;
};

/// Throws std::runtime_error with why.
[[noreturn]] void fail(const std::string& why);

double seconds(std::chrono::steady_clock::duration d);

/// Runs words (the client's path first) with standard input /dev/null, its output on a pipe
/// and its standard error in the file error_path; under an open-file limit of nofile (soft and
/// hard) when it is not 0, else under the benchmark's own. Kills the client (by pid) and
/// fails when it takes longer than 120 s.
Call call_client(const std::vector<std::string>& words, const std::string& error_path,
                 rlim_t nofile = 0);

/// Fails, naming name and the first wrong line, unless every one of hosts has exactly one
/// line, "HOST: suspended", there is no other, and the client exited with status 0.
void check_suspended(const Call& call, const std::vector<std::string>& hosts,
                     const std::string& name, const std::string& error_path);

/// Raises this process's hard open-file limit, which the client inherits, so that it has room
/// for a socket per host (root may raise it). Fails when it cannot.
void make_room_for(int hosts);

/// Writes text to a new file of mode 0600 at path (the client's key file). Fails when it
/// cannot.
void write_private_file(const std::string& path, std::string_view text);

/// Prints a row of figure over calls: the first call, then the median, least and most of
/// the others.
void print_row(const char* label, const std::vector<Call>& calls, double Call::*figure,
               int decimals = 3);

/// Prints the rows of every figure, for the keyless calls, then the keyed ones.
void print_rows(const std::vector<Call>& keyless, const std::vector<Call>& keyed);

}  // namespace lmrbench
