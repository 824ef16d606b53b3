// kestrel-stand-in [ARGUMENT...] — does what the file beside it, named as the
// program itself plus ".steps", says; one step a line, in order:
//
//   append FILE TEXT...   adds the words and a line end to FILE
//   write FILE [TEXT]     makes TEXT (or nothing) the whole of FILE
//   copy FROM TO          copies a file over another
//   remove FILE           deletes a file
//   size FILE BYTES       gives FILE that length (zeros, sparse where it can)
//   arguments FILE        adds each argument as "[argument]" and a line end
//   pid FILE              writes its own process id to FILE in one step
//   sleep MS              waits
//   wait FILE MS          waits until FILE exists, at most MS
//   run PROGRAM [ARG...]  runs a program to its end and ends with its code
//   exit CODE             ends with CODE
//   die                   ends at once with code 137, as a killed process
//
// A step may follow conditions, each of which must hold for it to run:
//   if-exists FILE, if-equal A B, if-ends A SUFFIX.
// Words are split at blanks; "a quoted word" may hold blanks. In every word
// $dir is the program's folder, $0 its own path and $1 to $9 its arguments. Without a steps
// file, or past its end, it ends with code 0; a step it cannot do ends it
// with code 2 and a line on its standard error.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/executable.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

std::vector<Words> ReadSteps(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<Words> steps;
  for (std::string line; std::getline(in, line);) {
    Words words;
    std::istringstream stream(line);
    for (std::string word; stream >> std::ws && stream.peek() != EOF;) {
      if (stream.peek() == '"') {
        stream.get();
        std::getline(stream, word, '"');
      } else {
        stream >> word;
      }
      words.push_back(word);
    }
    if (!words.empty())
      steps.push_back(words);
  }
  return steps;
}

void Replace(std::string& word, const std::string& name, const std::string& value) {
  for (auto at = word.find(name); at != std::string::npos; at = word.find(name, at + value.size()))
    word.replace(at, name.size(), value);
}

void WriteAll(const std::string& file, const std::string& text, std::ios::openmode mode) {
  std::ofstream out(file, std::ios::binary | mode);
  out << text;
  if (!out.flush())
    throw std::runtime_error("cannot write " + file);
}

class StandIn {
 public:
  StandIn(std::string self, Words arguments)
      : folder_(fs::path(self).parent_path().string()), arguments_(std::move(arguments)) {
    for (Words& step : ReadSteps(self + ".steps")) {
      for (std::string& word : step) {
        Replace(word, "$dir", folder_);
        Replace(word, "$0", self);
        for (std::size_t i = 0; i < 9; ++i)
          Replace(word, "$" + std::to_string(i + 1), i < arguments_.size() ? arguments_[i] : "");
      }
      steps_.push_back(std::move(step));
    }
  }

  int Run() {
    for (const Words& step : steps_) {
      if (const int code = Do(step, 0); code >= 0)
        return code;
    }
    return 0;
  }

 private:
  // The step that starts at `at`: -1 to go on, else the exit code.
  int Do(const Words& step, std::size_t at) {
    const std::string& verb = step.at(at);
    const auto word = [&](std::size_t n) -> const std::string& { return step.at(at + n); };
    if (verb == "if-exists")
      return fs::exists(word(1)) ? Do(step, at + 2) : -1;
    if (verb == "if-equal")
      return word(1) == word(2) ? Do(step, at + 3) : -1;
    if (verb == "if-ends")
      return word(1).ends_with(word(2)) ? Do(step, at + 3) : -1;
    if (verb == "append" || verb == "write") {
      std::string text;
      for (std::size_t n = at + 2; n < step.size(); ++n)
        text += (n > at + 2 ? " " : "") + step[n];
      WriteAll(word(1), verb == "append" ? text + "\n" : text,
               verb == "append" ? std::ios::app : std::ios::trunc);
    } else if (verb == "copy") {
      // Byte by byte: the C++ library of MinGW refuses to copy over an
      // existing file, whatever the options say.
      std::ifstream from(word(1), std::ios::binary);
      if (!from)
        throw std::runtime_error("cannot read " + word(1));
      WriteAll(word(2), std::string(std::istreambuf_iterator<char>(from), {}), std::ios::trunc);
    } else if (verb == "remove") {
      fs::remove(word(1));
    } else if (verb == "size") {
      WriteAll(word(1), "", std::ios::app);
      fs::resize_file(word(1), std::stoull(word(2)));
    } else if (verb == "arguments") {
      std::string lines;
      for (const std::string& argument : arguments_)
        lines += "[" + argument + "]\n";
      WriteAll(word(1), lines, std::ios::app);
    } else if (verb == "pid") {
      WriteAll(word(1) + ".new", std::to_string(kestrel::platform::CurrentProcessId()),
               std::ios::trunc);
      fs::rename(word(1) + ".new", word(1));
    } else if (verb == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stoll(word(1))));
    } else if (verb == "wait") {
      const auto end =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(std::stoll(word(2)));
      while (!fs::exists(word(1)) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } else if (verb == "run") {
      auto child =
          kestrel::platform::SpawnProcess(word(1), Words(step.begin() + at + 2, step.end()), true);
      return static_cast<int>(child.WaitForExit(UINT32_MAX).value_or(2));
    } else if (verb == "exit") {
      return std::stoi(word(1));
    } else if (verb == "die") {
      kestrel::platform::ExitProcessNow(137);
    } else {
      throw std::runtime_error("unknown step " + verb);
    }
    return -1;
  }

  std::string folder_;
  Words arguments_;
  std::vector<Words> steps_;
};

}  // namespace

int main(int argc, char** argv) {
  try {
    const Words words = kestrel::platform::ProgramArguments(argc, argv);
    StandIn stand_in(kestrel::platform::RunningExecutablePath(),
                     Words(words.begin() + (words.empty() ? 0 : 1), words.end()));
    return stand_in.Run();
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "kestrel-stand-in: %s\n", failure.what());
    return 2;
  }
}
