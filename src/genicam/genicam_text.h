// How a description's texts read: trimmed element text and its integers,
// the same for the node map and the evaluator.
#ifndef VORA_GENICAM_TEXT_H
#define VORA_GENICAM_TEXT_H

#include <cstdint>
#include <string>

namespace pugi {
class xml_node;
}

namespace genicam {

std::string trim(const std::string& s);
// The element's own character data (text and CDATA), trimmed.
std::string element_text(pugi::xml_node el);
// Decimal, or hex after 0x, with an optional sign. Hex may use all 64 bits
// (masks, maxima) and then reads as the two's complement value.
bool parse_int(const std::string& s, int64_t* out);

}  // namespace genicam

#endif
