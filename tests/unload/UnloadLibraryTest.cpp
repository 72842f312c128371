// The real library unloaded, and the process ended, while it is in use. Each
// scenario of dudidadu-unload (see unload_main.cpp) runs in a child process
// with a deadline: it must end by itself, with the status it chose, and
// neither crash nor hang. Unloading is meant to take about 100 ms; only its
// return is asserted here, the program prints the time.
#include "DeadlineProcess.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

// Generous: sanitizers and Wine start slowly, and the machine is shared.
const int kDeadlineSeconds = 20;

struct Scenario {
    const char *name;
    const char *end;  // "return" from main or "exit"
    int code;         // the status it ends with; none the program uses for its own failures
};

const Scenario kScenarios[] = {
    {"unload-main", "return", 41},
    {"unload-main", "exit", 42},
    {"unload-thread", "return", 43},
    {"unload-after-threads", "exit", 44},
    {"unload-after-terminate", "return", 49},
    {"reload", "exit", 45},
    {"reload", "return", 46},
    {"exit-in-exports", "exit", 47},
    {"exit-in-exports", "return", 48},
};

void PrintTo(const Scenario &scenario, std::ostream *out)
{
    *out << scenario.name << " " << scenario.end << " " << scenario.code;
}

class LibraryUnload : public ::testing::TestWithParam<Scenario> {};

TEST_P(LibraryUnload, EndsPromptlyWithItsOwnStatus)
{
    const Scenario &scenario = GetParam();
    DeadlineProcess child;
    ASSERT_TRUE(child.Run({ProgramBesideThisOne(DUDIDADU_UNLOAD_PROGRAM), scenario.name, scenario.end,
                           std::to_string(scenario.code)},
                          kDeadlineSeconds))
        << "cannot start " << ProgramBesideThisOne(DUDIDADU_UNLOAD_PROGRAM);
    EXPECT_TRUE(child.Ended() && !child.Crashed() && child.Code() == scenario.code)
        << ::testing::PrintToString(scenario) << ": " << child.Describe();
}

std::string ScenarioName(const ::testing::TestParamInfo<Scenario> &info)
{
    std::string name = std::string(info.param.name) + "_" + info.param.end;
    for (char &c : name)
        c = c == '-' ? '_' : c;
    return name;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, LibraryUnload, ::testing::ValuesIn(kScenarios), ScenarioName);

}  // namespace
