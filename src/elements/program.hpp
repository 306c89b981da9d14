// Compiled grammars. The first match of a combinator record compiles the
// records it reaches (down to Forward slots, whose target may change) into
// one flat program: a node per record, the record's kind as an operation
// code, its children as node numbers. One evaluator runs a program in both
// modes, parse (tokens into the parse path's buffer) and try (an end only),
// testing the common terminals inline where the kinds would be reached
// through their interface table.
//
// A program is a second reading of the combinator kinds, not a new meaning:
// every node does what its kind's parse_at or try_match_at does, enters the
// depth bound where the kind does, and remembers its outcome as the kind
// does, so that outcomes, tokens, failures and depth verdicts are the same.
// The plain-paths build runs the kinds themselves, and the tests and the
// fuzzer compare the two.
#pragma once

#include "elements/parse_path.hpp"
#include "elements/structure.hpp"

namespace qgx {

struct Program;

// The program of a combinator record of the kind `vt` names, compiled on the
// first call and kept with the record; nullptr where programs are off (the
// plain-paths build, a ProgramsOff scope) or the program could not be made,
// in which case the kind's own algorithm runs.
inline const Program* program_for(const CompositeHeader& r, const ElementVTable* vt) noexcept;

// Set while a ProgramsOff scope exists on the thread.
[[gnu::tls_model("initial-exec")]] inline thread_local bool tls_programs_off = false;

// The first call's compilation, out of line.
const Program* program_for_first_call(const CompositeHeader& r, const ElementVTable* vt) noexcept;

inline const Program* program_for(const CompositeHeader& r, const ElementVTable* vt) noexcept {
    if constexpr (kPlainPaths) return nullptr;
    uintptr_t s = r.program.load(std::memory_order_acquire);
    if (s > CompositeHeader::kNoProgram && !tls_programs_off) [[likely]] return reinterpret_cast<const Program*>(s);
    return program_for_first_call(r, vt);
}

// The program's record at `pos`: parse_at into `in`, and try_match_at.
bool program_parse(const Program& p, Text t, Pos pos, Into& in);
TryMatchOutcome program_try(const Program& p, Text t, Pos pos);

// The program of an And record, its members tried in turn at `pos` at the
// present depth (the sequence itself enters no level), as each member's own
// try_match_at would try it. Each member's end goes to `ends` (one slot per
// member) when it is not null; the outcome is that of the whole sequence.
TryMatchOutcome program_member_ends(const Program& p, Text t, Pos pos, Pos* ends);

// One program tried at many positions of one text by a scan, each try at the
// depth and on the stack of the scan itself: what does not depend on the
// position (whether the root may run without depth entries) is decided once,
// and the calls are accounted once, at the end.
class ProgramScan {
  public:
    ProgramScan(const Program& p, Text t) noexcept;
    ~ProgramScan();
    ProgramScan(const ProgramScan&) = delete;
    ProgramScan& operator=(const ProgramScan&) = delete;
    TryMatchOutcome operator()(Text t, Pos pos);

  private:
    const Program& program_;
    Text text_;
    bool small_ = false;
    uint64_t calls_ = 0;
};

// Frees a program (the record's destructor calls it).
void release_program(const Program* p) noexcept;

// The number of nodes of a program (for tests).
size_t program_size(const Program& p) noexcept;

// While one exists on a thread, combinators run their own algorithms there,
// so that a test can compare them with their programs.
class ProgramsOff {
  public:
    ProgramsOff() noexcept;
    ~ProgramsOff();
    ProgramsOff(const ProgramsOff&) = delete;
    ProgramsOff& operator=(const ProgramsOff&) = delete;

  private:
    bool saved_;
};

}  // namespace qgx
