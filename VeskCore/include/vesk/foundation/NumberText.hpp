// Numbers written as text for people, whatever their size: a value too
// large for the fixed form is written in the shortest form instead, never
// cut or left unwritten.
#pragma once

#include <string>

namespace vesk::NumberText {

/// `value` with `decimals` digits after the point ("12.5"); a value whose
/// fixed form would be longer than 40 characters (1e300) in the shortest
/// round-trip form ("1e+300"); "nan", "inf" and "-inf" as they are.
std::string fixed(double value, int decimals);

/// Appends `fixed(value, decimals)`.
void appendFixed(std::string& out, double value, int decimals);

}  // namespace vesk::NumberText
