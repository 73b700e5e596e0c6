// What a queue worker runs and what its output says: the worker's command
// line (its artisan command as words, PHP the site's own version's), the
// names a connection or a queue may have, and the job lines Laravel's
// worker prints, which the supervisor counts.
#pragma once

#include <string>
#include <string_view>

#include "vesk/services/QueueWorker.hpp"
#include "vesk/services/ServiceRecipe.hpp"

namespace vesk::workers {

/// Whether `name` can be a connection or a comma-separated list of queues:
/// 1 to 128 ASCII letters, digits and "_-.:,", starting with a letter or a
/// digit (nothing a shell would read as more than a word, nor artisan as
/// an option).
bool isQueueName(std::string_view name);

/// The worker's artisan command as a command line: `php` (the PHP CLI of
/// the site's version, an absolute path) running artisan in the site's
/// directory, the command's words as they are, an empty one left out.
CommandLine commandLine(const QueueWorker& worker, const std::string& php);

/// What a line of the worker's output says of a job.
enum class JobLine { none, started, processed, failed };

/// Laravel's worker's lines: "<time> App\Jobs\X ........ RUNNING", then
/// "... 12.34ms DONE" or "... 3.21ms FAIL" (Laravel 9 on, colours and
/// padding aside); "[<time>][<id>] Processing: App\Jobs\X", "Processed:"
/// and "Failed:" before it.
JobLine classify(std::string_view line);

}  // namespace vesk::workers
