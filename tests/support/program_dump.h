// program_dump.h: golden-text dump of a compiled program, for the compiler tests.
//
// dump_program lists the program one node per line in byte order, then the hints:
//
//   0 magic 0x9C
//   1 OP_ALT next 24 -> 25 alternative from 4
//   4 OP_LINE_START next 3 -> 7
//   7 OP_LITERAL next 5 -> 12 "a"
//   12 OP_SIMPLE_STAR next 8 -> 20 node at 15
//   15 OP_LITERAL next 0 -> none "b"
//   20 OP_LITERAL next 5 -> 25 "c"
//   25 OP_END next 0 -> none
//   hints: first_char none, anchored 1, must_text none
//
// Offsets count from program byte 0. Text operands are quoted; bytes outside the printable
// ASCII range are shown as \xHH, a backslash as \\ and a quote as \". Test-only code.
#pragma once

#include <cstddef>
#include <string>

#include "regexp/regexp.h"
#include "support/escape_bytes.h"

// dump_program returns the golden text of re's program and hints.
std::string dump_program(const Regexp* re);

// program_length returns the program's size in bytes: magic byte through the final OP_END.
size_t program_length(const Regexp* re);
