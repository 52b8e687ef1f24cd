#include "process/keys.h"

#include <syslog.h>

#include <cstdio>
#include <utility>

#include "key/key_file.h"

namespace {

// "2 keys", "1 key".
std::string key_count(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " key" : " keys");
}

}  // namespace

std::string load_keys(Settings& settings) {
  if (!settings.key_file_path.has_value()) {
    return "";
  }
  // Distinct keys, so that the key that proved a command names one controller.
  std::string refusal = read_key_file(*settings.key_file_path, settings.keys, true);
  // A core dump would hold the keys; so would a debugger's look at the process.
  if (refusal.empty() && !keep_out_of_core_dumps()) {
    refusal = *settings.key_file_path + ": the process could not be made non-dumpable";
  }
  if (refusal.empty()) {
    return "";
  }
  settings.keys.keys.clear();
  refusal.insert(0, "Key file refused: ");
  static_cast<void>(std::fputs((refusal + "\n").c_str(), stderr));
  return refusal;
}

int check_keys(Settings& settings) {
  if (!settings.key_file_path.has_value()) {
    static_cast<void>(
        std::fputs("Nothing to check: give the key file with --key-file=FILE\n", stderr));
    return 1;
  }
  if (!load_keys(settings).empty()) {
    return 1;
  }
  std::string names;
  for (const NamedKey& entry : settings.keys.keys) {
    names.append(names.empty() ? "" : ", ").append(entry.name);
  }
  const std::string line =
      *settings.key_file_path + ": " + key_count(settings.keys.keys.size()) + " (" + names + ")\n";
  static_cast<void>(std::fputs(line.c_str(), stdout));
  return 0;
}

Reload reload_keys(Settings& settings) {
  if (!settings.key_file_path.has_value()) {
    return {LOG_WARNING, "No key file to reload: the daemon runs without keys"};
  }
  const std::string& path = *settings.key_file_path;
  KeySet fresh;
  // The same checks as at start-up: a file that a restart would refuse is refused here, and
  // the daemon goes on with the keys it has, rather than with none.
  const std::string refusal = read_key_file(path, fresh, true);
  if (!refusal.empty()) {
    return {LOG_ERR, "Keys not reloaded (" + refusal + "); the daemon keeps its " +
                         key_count(settings.keys.keys.size())};
  }
  settings.keys = std::move(fresh);  // the old keys are wiped as they are destroyed
  return {LOG_INFO, "Keys reloaded from " + path + ": " + key_count(settings.keys.keys.size())};
}
