// The command line of every program of the kit: options declared once give
// the --help text, --version, and the same refusals everywhere (an unknown
// option, a missing or malformed value, a missing required option), each
// named on stderr with the exit code the help text documents.
#pragma once

#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace cli {

// The kit's version, as the build names it.
const char* Version();

class Parser {
 public:
  // `synopsis` is what follows "usage: <program> " on the first help line;
  // `about` the paragraph under it.
  Parser(std::string program, std::string synopsis, std::string about);

  // The code of a usage error (default 2) and the help text's exit-status
  // lines; the default documents 0 success, 1 run failure, 2 usage error.
  void usageErrorCode(int code);
  void exitStatus(std::string text);
  // Lines printed after the options (examples, notes).
  void epilogue(std::string text);

  void flag(const std::string& name, const std::string& help, bool* set, bool value = true);
  // A value that must not be empty.
  void text(const std::string& name, const std::string& metavar, const std::string& help, std::string* out);
  // A complete, finite number in [low, high].
  void real(const std::string& name, const std::string& metavar, const std::string& help, double* out,
            double low = -std::numeric_limits<double>::max(), double high = std::numeric_limits<double>::max());
  // A complete decimal whole number in [low, high].
  void whole(const std::string& name, const std::string& metavar, const std::string& help, long long low,
             long long high, std::function<void(long long)> set);
  template <class T>
  void whole(const std::string& name, const std::string& metavar, const std::string& help, T* out, long long low,
             long long high) {
    whole(name, metavar, help, low, high, [out](long long v) { *out = static_cast<T>(v); });
  }
  // Any value; `take` returns false with the reason to refuse it. With
  // `several` the option takes every following word up to the next option.
  void custom(const std::string& name, const std::string& metavar, const std::string& help,
              std::function<bool(const std::string& value, std::string* why)> take, bool several = false);
  void require(const std::string& name);

  enum Outcome { kRun, kHelp, kVersion, kBad };
  // Parses the words after the program's name; kBad comes with the reason.
  Outcome parse(const std::vector<std::string>& args, std::string* error);
  // parse() over argv, printing help, version or the refusal: -1 when the
  // program should go on, otherwise the code to exit with. Every program
  // starts here, so this first sets up what all of them share (StartProgram).
  int handle(int argc, char** argv);

  std::string help() const;
  const std::string& program() const { return program_; }

 private:
  struct Option {
    std::string name, metavar, help;
    bool takesValue = true, several = false, required = false;
    std::function<bool(const std::string&, std::string*)> take;
  };
  Option* find(const std::string& name);
  void add(Option o);

  std::string program_, synopsis_, about_, exitStatus_, epilogue_;
  int usageError_ = 2;
  std::vector<Option> options_;
};

}  // namespace cli
