// messages.h: the catalogue of every message the regular-expression engine reports (internal).
//
// Each text goes to the installed error hook through regreport exactly as written here,
// without a line end; callers of the engine may compare against these texts, so they never
// change. The compiler, the matcher and substitution take their messages from this one list.
// compiler_test and regsub_test check the texts byte for byte through a capturing hook.
#pragma once

// regcompile
inline constexpr char MSG_NULL_ARGUMENT[] = "NULL argument";                   // pattern is null
inline constexpr char MSG_TOO_MANY_GROUPS[] = "too many ()";                   // a tenth '('
inline constexpr char MSG_UNMATCHED_PAREN[] = "unmatched ()";                  // '(' never closed, or a stray ')'
inline constexpr char MSG_JUNK_ON_END[] = "junk on end";                       // top level stopped early (unreachable)
inline constexpr char MSG_NESTED_REPEAT[] = "nested *?+";                      // two operators on one atom
inline constexpr char MSG_EMPTY_REPEAT[] = "*+ operand could be empty";        // '*' or '+' on an atom that may match ""
inline constexpr char MSG_INTERNAL_DISASTER[] = "internal disaster";           // literal run of no bytes (unreachable)
inline constexpr char MSG_TRAILING_BACKSLASH[] = "trailing \\";                // pattern ends in a lone backslash
inline constexpr char MSG_REPEAT_FOLLOWS_NOTHING[] = "?+* follows nothing";    // operator where an atom must begin
inline constexpr char MSG_INTERNAL_URP[] = "internal urp";                     // atom entered at '|', ')' or end (unreachable)
inline constexpr char MSG_INVALID_RANGE[] = "invalid [] range";                // range bounds in falling order
inline constexpr char MSG_UNMATCHED_BRACKET[] = "unmatched []";                // set not closed
inline constexpr char MSG_TOO_BIG[] = "regexp too big";                        // program of REGEXP_SIZE_LIMIT bytes or more
inline constexpr char MSG_OUT_OF_SPACE[] = "out of space";                     // the block cannot be allocated

// regsearch
inline constexpr char MSG_NULL_PARAMETER[] = "NULL parameter";                 // record or line is null
inline constexpr char MSG_CORRUPTED_PROGRAM[] = "corrupted program";           // program byte 0 is not REGEXP_MAGIC
inline constexpr char MSG_CORRUPTED_POINTERS[] = "corrupted pointers";         // the node walk lost its next node
inline constexpr char MSG_MEMORY_CORRUPTION[] = "memory corruption";           // a byte that is no opcode
inline constexpr char MSG_INTERNAL_FOULUP[] = "internal foulup";               // simple repetition of a multi-byte node

// regsub / regsub_bounded
inline constexpr char MSG_NULL_SUB_PARAMETER[] = "NULL parm to regsub";        // record, template or destination is null
inline constexpr char MSG_DAMAGED_REGEXP[] = "damaged regexp fed to regsub";   // program byte 0 is not REGEXP_MAGIC
inline constexpr char MSG_DAMAGED_MATCH[] = "damaged match string";            // a slot's text holds a NUL
