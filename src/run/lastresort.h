// What happens to an exception that nothing caught.
#pragma once

// Installs the handler that std::terminate calls: it writes out what
// standard output holds, tells the cause on standard error and ends the
// process with status 255. Every output is replaced whole by a rename, so
// the files already written keep what they hold, and a file being written
// keeps its older contents; its temporary name is removed by the next run.
void installLastResort();
