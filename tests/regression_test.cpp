// Regression tests for what the robustness and speed work changed or found.
#include "probe_fixture.h"

#include <climits>
#include <functional>
#include <string>

namespace {

class RegressionTest : public ProbeTest {};

// Commands are assembled on the stack up to 255 characters and as strings beyond: texts on both
// sides of that limit must go out whole and exactly.
TEST_F(RegressionTest, commands_longer_than_the_stack_buffer_go_out_whole) {
    for (const size_t n : {size_t(1), size_t(250), size_t(251), size_t(252), size_t(300)}) {
        const std::string x(n, 'x');
        const zeph_string arg(x.c_str());
        const zeph_string one("1");
        struct Case {
            std::string expected;
            std::function<void(ProbeComponent&)> run;
        };
        const Case cases[] = {
            {"HN '" + x + "'", [&](ProbeComponent& p) { p.hostNotify(arg); }},
            {"TP 'text=" + x + "' '1' 'UMD'",
             [&](ProbeComponent& p) { p.textPut("text", arg, one, "UMD"); }},
            {"TG '1' '" + x + "' 'value'",
             [&](ProbeComponent& p) {
                 zeph_string value;
                 p.textGet("value", one, arg, value);
             }},
            {"SD '" + x + "'", [&](ProbeComponent& p) { p.getDev(arg, nullptr, nullptr); }},
            {"XI '1' '" + x + "'", [&](ProbeComponent& p) { p.controlList(one, arg); }},
            {"RC -2147483648 2147483647 40 '," + x + "' 1",
             [&](ProbeComponent& p) { p.routerCrosspoint(INT_MIN, INT_MAX, 40, arg, true); }},
        };
        for (const Case& c : cases)
            EXPECT_EQ(during(c.run), Commands{c.expected}) << "argument of " << n << " characters";
    }
}

// A placeholder inside an argument is never filled, on either side of the limit.
TEST_F(RegressionTest, placeholders_in_arguments_stay_as_they_are) {
    for (const size_t n : {size_t(0), size_t(300)}) {
        const std::string pad(n, 'p');
        const zeph_string property(("%2" + pad).c_str());
        const zeph_string value("%1");
        EXPECT_EQ(during([&](ProbeComponent& p) { p.textPut(property, value, "1", "%3"); }),
                  Commands{"TP '%2" + pad + "=%1' '1' '%3'"});
    }
}

} // namespace
