# Writes OUTPUT, a C++ source holding each NAME=file of RESOURCES (separated
# by commas) as bytes.
string(REPLACE "," ";" resources "${RESOURCES}")
set(arrays "")
set(table "")
set(n 0)
foreach(entry ${resources})
  string(FIND "${entry}" "=" eq)
  string(SUBSTRING "${entry}" 0 ${eq} name)
  math(EXPR from "${eq} + 1")
  string(SUBSTRING "${entry}" ${from} -1 file)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" hexLength)
  math(EXPR size "${hexLength} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND arrays "const char kData${n}[] = {${bytes} 0};\n")
  string(APPEND table "    {\"${name}\", {kData${n}, ${size}}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Generated from the program's resources; do not edit.
#include \"embedded.h\"

namespace gui {
namespace {
${arrays}}  // namespace

const EmbeddedResource kEmbeddedResources[] = {
${table}};
const std::size_t kEmbeddedResourceCount = ${n};

}  // namespace gui
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
