#include "cli/cli.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "cli/outputs.h"

#ifndef MARVISTO_VERSION
#define MARVISTO_VERSION "unknown"
#endif

namespace cli {
namespace {

// Long options only; a lone "-" or a negative number ("-60") is a value.
bool LooksLikeOption(const std::string& word) { return word.size() > 2 && word.compare(0, 2, "--") == 0; }

std::string Shown(double v) {
  char s[32];
  std::snprintf(s, sizeof s, "%g", v);
  return s;
}

}  // namespace

const char* Version() { return MARVISTO_VERSION; }

Parser::Parser(std::string program, std::string synopsis, std::string about)
    : program_(std::move(program)), synopsis_(std::move(synopsis)), about_(std::move(about)) {
  exitStatus_ = "0 success, 1 run failure (the reason on stderr), 2 usage error";
}

void Parser::usageErrorCode(int code) { usageError_ = code; }
void Parser::exitStatus(std::string text) { exitStatus_ = std::move(text); }
void Parser::epilogue(std::string text) { epilogue_ = std::move(text); }

void Parser::add(Option o) { options_.push_back(std::move(o)); }

Parser::Option* Parser::find(const std::string& name) {
  for (Option& o : options_)
    if (o.name == name) return &o;
  return nullptr;
}

void Parser::flag(const std::string& name, const std::string& help, bool* set, bool value) {
  Option o;
  o.name = name;
  o.help = help;
  o.takesValue = false;
  o.take = [set, value](const std::string&, std::string*) {
    *set = value;
    return true;
  };
  add(std::move(o));
}

void Parser::text(const std::string& name, const std::string& metavar, const std::string& help, std::string* out) {
  custom(name, metavar, help, [out](const std::string& v, std::string*) {
    *out = v;
    return true;
  });
}

void Parser::real(const std::string& name, const std::string& metavar, const std::string& help, double* out,
                  double low, double high) {
  const bool bounded = low > -std::numeric_limits<double>::max() || high < std::numeric_limits<double>::max();
  const std::string range = bounded ? " from " + Shown(low) + " to " + Shown(high) : "";
  custom(name, metavar, help, [=](const std::string& v, std::string* why) {
    char* end = nullptr;
    errno = 0;
    const double d = std::strtod(v.c_str(), &end);
    if (*end != '\0' || errno == ERANGE || !std::isfinite(d) || d < low || d > high) {
      *why = name + " needs a number" + range + ", not \"" + v + "\"";
      return false;
    }
    *out = d;
    return true;
  });
}

void Parser::whole(const std::string& name, const std::string& metavar, const std::string& help, long long low,
                   long long high, std::function<void(long long)> set) {
  const std::string range = " from " + std::to_string(low) + " to " + std::to_string(high);
  custom(name, metavar, help, [=](const std::string& v, std::string* why) {
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(v.c_str(), &end, 10);
    // strtoll skips leading blanks and takes "+"; a whole number here is digits.
    const bool plain = v[0] == '-' || (v[0] >= '0' && v[0] <= '9');
    if (!plain || *end != '\0' || errno == ERANGE || n < low || n > high) {
      *why = name + " needs a number" + range + ", not \"" + v + "\"";
      return false;
    }
    set(n);
    return true;
  });
}

void Parser::custom(const std::string& name, const std::string& metavar, const std::string& help,
                    std::function<bool(const std::string&, std::string*)> take, bool several) {
  Option o;
  o.name = name;
  o.metavar = metavar;
  o.help = help;
  o.several = several;
  o.take = std::move(take);
  add(std::move(o));
}

void Parser::require(const std::string& name) {
  if (Option* o = find(name)) o->required = true;
}

Parser::Outcome Parser::parse(const std::vector<std::string>& args, std::string* error) {
  std::string scratch;
  if (!error) error = &scratch;
  // Help and version win wherever they stand, so a user who adds --help to a
  // broken line gets the help rather than the refusal.
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") return kHelp;
    if (a == "--version") return kVersion;
  }
  std::vector<const Option*> seen;
  for (size_t i = 0; i < args.size(); ++i) {
    // "--name=value" as GNU tools take it, beside "--name value".
    const size_t eq = LooksLikeOption(args[i]) ? args[i].find('=') : std::string::npos;
    const std::string a = args[i].substr(0, eq);
    Option* o = find(a);
    if (!o) {
      *error = LooksLikeOption(a) || (a.size() > 1 && a[0] == '-') ? "unknown option " + a
                                                                    : "unexpected argument \"" + a + "\"";
      return kBad;
    }
    seen.push_back(o);
    if (!o->takesValue) {
      if (eq != std::string::npos) {
        *error = a + " takes no value";
        return kBad;
      }
      o->take("", error);
      continue;
    }
    size_t taken = 0;
    if (eq != std::string::npos) {
      const std::string v = args[i].substr(eq + 1);
      std::string why;
      if (v.empty()) {
        *error = a + " needs a value (" + o->metavar + ")";
        return kBad;
      }
      if (!o->take(v, &why)) {
        *error = why.empty() ? "bad value for " + a + ": \"" + v + "\"" : why;
        return kBad;
      }
      ++taken;
    }
    // An empty word is no value: `--out ""` is as incomplete as `--out`.
    while (i + 1 < args.size() && !args[i + 1].empty() && !LooksLikeOption(args[i + 1]) &&
           (taken == 0 || o->several)) {
      const std::string& v = args[++i];
      std::string why;
      if (!o->take(v, &why)) {
        *error = why.empty() ? "bad value for " + a + ": \"" + v + "\"" : why;
        return kBad;
      }
      ++taken;
    }
    if (taken == 0) {
      *error = a + " needs a value (" + o->metavar + ")";
      return kBad;
    }
  }
  for (const Option& o : options_) {
    bool given = false;
    for (const Option* s : seen) given = given || s == &o;
    if (o.required && !given) {
      *error = o.name + " " + o.metavar + " is required";
      return kBad;
    }
  }
  return kRun;
}

int Parser::handle(int argc, char** argv) {
  StartProgram();
  std::string error;
  switch (parse(std::vector<std::string>(argv + 1, argv + argc), &error)) {
    case kHelp:
      std::fputs(help().c_str(), stdout);
      return 0;
    case kVersion:
      std::printf("%s %s\n", program_.c_str(), Version());
      return 0;
    case kBad:
      std::fprintf(stderr, "%s: %s\nusage: %s %s\nTry '%s --help' for more.\n", program_.c_str(), error.c_str(),
                   program_.c_str(), synopsis_.c_str(), program_.c_str());
      return usageError_;
    case kRun:
      break;
  }
  return -1;
}

std::string Parser::help() const {
  std::string h = "usage: " + program_ + " " + synopsis_ + "\n";
  if (!about_.empty()) h += "\n" + about_ + "\n";
  h += "\noptions:\n";
  auto line = [&](const std::string& left, const std::string& text) {
    std::string l = "  " + left;
    l += l.size() < 26 ? std::string(26 - l.size(), ' ') : "\n" + std::string(26, ' ');
    // Continuation lines of a long text keep the column.
    for (char c : text) l += c == '\n' ? std::string("\n") + std::string(26, ' ') : std::string(1, c);
    h += l + "\n";
  };
  for (const Option& o : options_) line(o.name + (o.metavar.empty() ? "" : " " + o.metavar), o.help);
  line("--help", "print this text and exit");
  line("--version", "print \"" + program_ + " <version>\" and exit");
  if (!epilogue_.empty()) h += "\n" + epilogue_ + "\n";
  h += "\nexit status:\n  ";
  for (char c : exitStatus_) h += c == '\n' ? std::string("\n  ") : std::string(1, c);
  h += "\n";
  return h;
}

}  // namespace cli
