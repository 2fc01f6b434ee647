#include "export/search_folders.h"

namespace vorn {

SearchFolders& TextureSearchFolders() {
  static SearchFolders folders;
  return folders;
}

}  // namespace vorn
