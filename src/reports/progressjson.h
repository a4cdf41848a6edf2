// The progress stream (setting progressjson): one JSON object per line, for
// programs that follow a run (the Python package's progress bar, say) rather
// than read its screen. Written by the master process only; without the
// setting nothing is opened or written.
//
//   {"event":"start","limit":200}
//   {"event":"generation","generation":0,"limit":200,"goodness":0.083,"tested":94,"elapsed":0.41}
//   {"event":"end","generation":37,"goodness":0.0772,"tested":3561,"elapsed":9.8,"stopped":"SIGINT"}
//
// "generation" counts as the "gen =" lines and the generation log count;
// "goodness" is the best so far (null while there is none); "stopped" is null
// unless a signal stopped the run.
#pragma once

#include <string>

// Opens the stream that the setting names: a path (created or emptied) or
// "fd:N", a descriptor the program inherited. A stream that cannot be opened
// is told on standard error and left out; the run goes on.
void progressStreamBegin(double now);
// A generation has ended.
void progressStreamGeneration(double now);
// The final report has been made: the last line, and the stream closes.
void progressStreamEnd(double now);

// One event of the stream; a member left negative is not written.
struct ProgressEvent {
    const char* event = "";
    int generation = -1;
    int limit = -1;
    bool withGoodness = false;
    double goodness = 0;  // kNoValue or not finite: null
    long long tested = -1;
    double elapsed = -1;
    const char* stopped = nullptr;  // written with the end event: null or the signal's name
};

// The event's line, newline included.
std::string progressEventLine(const ProgressEvent& event);
