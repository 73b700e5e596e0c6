// The command's way of running a program: the library's spawner, with the
// output captured for the command to show.
#include "Command.hpp"
#include "vesk/system/Spawn.hpp"

namespace vesk::cli {

Ran run(const std::string& program, const std::vector<std::string>& arguments,
        std::chrono::milliseconds limit) {
    spawn::Request request;
    request.program = program;
    request.arguments = arguments;
    request.output = spawn::Output::capture;
    request.limit = limit;
    const spawn::Result r = spawn::run(request);
    if (r.spawnError != 0) return {-1, program + " could not be run"};
    Ran ran{r.exitStatus.value_or(-1), r.output};
    if (r.timedOut) ran.output += "\n(" + program + " took too long and was stopped)";
    return ran;
}

}  // namespace vesk::cli
