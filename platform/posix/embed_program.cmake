# Writes a C++ source that holds the bytes of a built program: -DINPUT=<program> -DOUTPUT=<source> -DNAME=<symbol>.
file(READ ${INPUT} bytes HEX)
string(LENGTH "${bytes}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT}.tmp "#include <cstddef>\n\nnamespace platform::posix {\n\nextern const unsigned char ${NAME}[] = {\n${bytes}};\nextern const size_t ${NAME}_size = ${size};\n\n}  // namespace platform::posix\n")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
