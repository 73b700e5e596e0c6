// JSON for every record of the library: include this, declare a record's
// fields with VESK_RECORD, and encodeJSON/decodeJSON do the rest.
//
// The layer is in json/, one header a mechanism: Options (coding options and
// errors), Document (a parsed document and its views), Tape (the one-pass
// reader over a document), Writer (the text writer), Coding (the generic
// coding of values and records), and Stream (the one-pass reader over a
// large text, a library of its own for the stores that need it).
#pragma once

#include "vesk/foundation/json/Coding.hpp"
