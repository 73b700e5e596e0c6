#include "vesk/services/WorkerOutput.hpp"

#include <gtest/gtest.h>

namespace {

using vesk::workers::classify;
using vesk::workers::JobLine;

TEST(WorkerOutput, TheWorkersCommandLineIsTheArtisanCommandsWordsWithTheSitesPHP) {
    vesk::QueueWorker w;
    w.connection = "redis";
    w.queue = "high,default";
    w.memoryLimit = 256;
    w.timeout = 90;
    w.tries = 3;
    const auto c = vesk::workers::commandLine(w, "/usr/bin/php8.2");
    EXPECT_EQ(c.program, "/usr/bin/php8.2");
    EXPECT_EQ(c.arguments,
              (std::vector<std::string>{"artisan", "queue:work", "redis", "--queue=high,default",
                                        "--memory=256", "--timeout=90", "--tries=3"}));
    // No connection: Laravel's default one, no empty word.
    w.connection.clear();
    EXPECT_EQ(vesk::workers::commandLine(w, "/usr/bin/php8.2").arguments[2],
              "--queue=high,default");
}

TEST(WorkerOutput, NamesThatAShellOrTheCommandLineWouldSplitAreRefused) {
    for (const char* good : {"redis", "sqs-fifo", "high,default", "emails.v2", "a:b"}) {
        EXPECT_TRUE(vesk::workers::isQueueName(good)) << good;
    }
    for (const char* bad : {"", "a b", "x;rm -rf ~", "$(id)", "a\nb", "--env=prod", "q`w`", "é"}) {
        EXPECT_FALSE(vesk::workers::isQueueName(bad)) << bad;
    }
    EXPECT_FALSE(vesk::workers::isQueueName(std::string(129, 'q')));
    // A name cannot pass as an option of artisan: it never starts with a dash.
    EXPECT_FALSE(vesk::workers::isQueueName("-v")) << "a leading dash";
}

TEST(WorkerOutput, LaravelsJobLinesAreCountedInEitherForm) {
    // Laravel 9 and later, as it prints them to a terminal (colours) and a pipe.
    EXPECT_EQ(classify("  2026-12-09 10:00:00 App\\Jobs\\SendWelcome ......... RUNNING"),
              JobLine::started);
    EXPECT_EQ(classify("  2026-12-09 10:00:00 App\\Jobs\\SendWelcome ... 12.34ms DONE"),
              JobLine::processed);
    EXPECT_EQ(
        classify(
            "  2026-12-09 10:00:01 App\\Jobs\\Charge ....... 3.21ms \x1b[31;1mFAIL\x1b[39;22m"),
        JobLine::failed);
    EXPECT_EQ(classify("  2026-12-09 10:00:00 App\\Jobs\\SendWelcome ... 1s DONE  \r"),
              JobLine::processed);
    // Laravel 8 and before.
    EXPECT_EQ(classify("[2026-12-09 10:00:00][42] Processing: App\\Jobs\\X"), JobLine::started);
    EXPECT_EQ(classify("[2026-12-09 10:00:00][42] Processed:  App\\Jobs\\X"), JobLine::processed);
    EXPECT_EQ(classify("[2026-12-09 10:00:00][42] Failed:     App\\Jobs\\X"), JobLine::failed);
    // What is no job line.
    for (const char* other :
         {"", "   INFO  Processing jobs from the [default] queue.", "DONE", "The job is DONE",
          "PHP Fatal error:  Uncaught Exception: FAIL", "[warning] Failed: nothing ran"}) {
        EXPECT_EQ(classify(other), JobLine::none) << other;
    }
}

}  // namespace
