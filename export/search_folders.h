// The three folders searched for textures, set by every export and kept between exports.
#pragma once

#include <string>

namespace vorn {

struct SearchFolders {
  std::string sceneDir;
  std::string hostDir7;
  std::string hostDir32;
};
SearchFolders& TextureSearchFolders();

}  // namespace vorn
