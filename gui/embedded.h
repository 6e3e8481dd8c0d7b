// Resources built into a Linux executable: each program that links the Qt
// backend gets a generated source defining this table (cmake/Embed.cmake).
#pragma once

#include <cstddef>
#include <string_view>

namespace gui {

struct EmbeddedResource {
  std::string_view name;
  std::string_view bytes;
};

extern const EmbeddedResource kEmbeddedResources[];
extern const std::size_t kEmbeddedResourceCount;

}  // namespace gui
