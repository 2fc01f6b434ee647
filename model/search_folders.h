// The three folders searched for textures, set by the driver at the start of every export.
#pragma once

#include <string>

namespace vorn {

struct SearchFolders {
  std::string sceneDir;
  std::string hostDir7;
  std::string hostDir32;
};

}  // namespace vorn
