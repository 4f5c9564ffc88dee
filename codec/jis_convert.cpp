// Japanese text conversion. (Placeholder until the converter is built.)
#include "codec/jis_convert.h"

void convert_sjis_to_jis(std::string&) {}
void encode_header_word(std::string&) {}
