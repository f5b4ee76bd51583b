// The normal form of a table file name as the dataset stores it.
//
// Blanks at both ends are removed; a name with no extension gets ".DBF" (its trailing blanks removed
// first); a name that ends in a full stop keeps it and gets no extension. Pure, any thread.
#pragma once

#include <string>

namespace tavrin::dataset {

std::string NormalizeDbfFileName(const std::string& name);

}  // namespace tavrin::dataset
