// Test programs start like the real ones: the logging library is loaded first.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/Log.h"
#include "support/TestSupport.h"

int main(int argc, char** argv)
{
    // A test may start its own program again with "--child NAME ..." to run a scenario
    // in a fresh process (another folder, no Logger beside it, another language).
    if (argc >= 3 && strcmp(argv[1], "--child") == 0)
    {
        InitLog();
        return RunChildScenario(argc - 2, argv + 2);
    }
    InitLog();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
