#include "runtime.h"

#include <cstdlib>

namespace vocari {

std::string settingsFolderFromEnvironment() {
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "/tmp") + "/Library/Application Support/Vocari/";
}

}  // namespace vocari
