// C++ owner of a file list: releases it with FreeAlphaFilesList.
#ifndef VANTOR_FILES_FILELIST_OWNER_H
#define VANTOR_FILES_FILELIST_OWNER_H

#include <memory>

#include "files/filelist.h"

namespace vantor {

struct FileListDeleter {
  void operator()(VantorFileList* list) const { FreeAlphaFilesList(list); }
};

// Holds the list GetAlphaFilesList returned (possibly null).
using FileListOwner = std::unique_ptr<VantorFileList, FileListDeleter>;

}  // namespace vantor

#endif
