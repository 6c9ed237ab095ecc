// Test support: the process's numeric locale switched, for the life of the
// object, to one whose decimal separator is a comma, as a GUI toolkit sets
// the process locale at its start. The locale is built once per machine
// with localedef (package "locales") into the temporary folder.
#pragma once

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

class TmvCommaLocale {
 public:
  TmvCommaLocale() {
    const std::string folder = Folder();
    setenv("LOCPATH", folder.c_str(), 1);
    fActive = std::setlocale(LC_NUMERIC, "mv_COMMA") != nullptr;
  }
  ~TmvCommaLocale() {
    std::setlocale(LC_NUMERIC, "C");
    unsetenv("LOCPATH");
  }
  TmvCommaLocale(const TmvCommaLocale&) = delete;
  TmvCommaLocale& operator=(const TmvCommaLocale&) = delete;

  // Whether the locale could be made and set (test with ASSERT_TRUE).
  bool Active() const { return fActive; }

 private:
  // Builds into a folder of its own and renames it into place, so that
  // processes that race to build it each find a whole locale.
  static std::string Folder() {
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("marlisse-locale-" + std::to_string(getuid()));
    if (fs::exists(folder / "mv_COMMA" / "LC_NUMERIC")) return folder.string();
    const fs::path work = fs::temp_directory_path() / ("marlisse-locale-" + std::to_string(getpid()));
    fs::create_directories(work);
    const fs::path source = work / "mv_COMMA.src";
    std::FILE* f = std::fopen(source.c_str(), "w");
    if (!f) return folder.string();
    std::fputs("LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \".\"\ngrouping 3;3\nEND LC_NUMERIC\n", f);
    std::fclose(f);
    const std::string command = "localedef -c -i '" + source.string() + "' -f UTF-8 '" + (work / "mv_COMMA").string() +
                                "' >/dev/null 2>&1";
    [[maybe_unused]] const int rc = std::system(command.c_str());  // -c: it warns of the categories it lacks
    std::error_code ignored;
    fs::remove(source, ignored);
    fs::rename(work, folder, ignored);  // another process may have been first
    fs::remove_all(work, ignored);
    return folder.string();
  }

  bool fActive = false;
};
