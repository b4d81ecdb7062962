# Turns the status page into a C++ source file holding its bytes, so the agent serves
# it without any file beside the executable.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR byte_count "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Generated from ${INPUT}; do not edit.\n#include \"status_page.h\"\n\nnamespace velmora::Engine::Test {\n\nnamespace {\nconst unsigned char kBytes[] = {\n    ${bytes}\n};\n}  // namespace\n\nstd::string statusPageHtml() {\n    return std::string(reinterpret_cast<const char*>(kBytes), ${byte_count});\n}\n\n}  // namespace velmora::Engine::Test\n")
