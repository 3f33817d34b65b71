// The program's own file name, the one fact about itself that several
// units need: the scheme of its device URIs and the brand it serves
// (kvt), and the name of its trace file (trace_log). It depends on nothing
// of the program's own, so that each of them may use it.
// Threads: safe from any thread.
#ifndef NETBACKEND_PROGRAM_NAME_H_
#define NETBACKEND_PROGRAM_NAME_H_

#include <string>

// The file name of the running executable, symbolic links resolved (from
// /proc/<pid>/exe); empty when the link cannot be read. The scheduler runs
// a backend by a hard link or a copy named after the scheme; a symbolic
// link would resolve to its target's name.
void ReadProgramName(std::string& name);

#endif  // NETBACKEND_PROGRAM_NAME_H_
