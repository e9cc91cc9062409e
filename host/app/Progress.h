// Progress for long work: a bar redrawn in place on a terminal, plain lines otherwise (so
// a farm's log shows steady progress without control characters).
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace Kestrel {

class Progress {
public:
    Progress(std::string task, int total, std::FILE* out = stderr);
    ~Progress();
    // Reports that `done` of the total are finished.
    void update(int done);
    // Ends the bar with a final line ("done" or the reason it stopped).
    void finish(const std::string& how = "done");

private:
    std::string _task;
    int _total;
    std::FILE* _out;
    bool _terminal;
    bool _finished = false;
    int _lastPercent = -1;
    std::chrono::steady_clock::time_point _start;
};

} // namespace Kestrel
