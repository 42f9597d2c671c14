// Fuzzes the Vigil alarm panel through its module, with the host's XI and TG replies as hostile as
// the input makes them: no reply, empty items, odd values and lists far longer than a panel has.
// The input is the shared script (component_script.h) plus two steps of its own:
//   m N ITEM   queue, like "s XI", a list of N copies of ITEM ("alm_1,alm_1,..."); N up to 500
//   a TEXT     press "ActionAll" on panel 1 with the event alarm=TEXT ("A" alone: "AckAll")
#include "built_paths.h"
#include "component_script.h"

#include <algorithm>

namespace {

zeph::host::Module g_module;

class AlarmScript : public zeph::fuzz::Script {
public:
    using Script::Script;

protected:
    bool extraStep(const zeph::fuzz::Line& line) override {
        if (line.word == "m") {
            const zeph::fuzz::Line count = zeph::fuzz::splitWord(line.rest);
            const int n = std::clamp(zeph::fuzz::number(count.word), 0, 500);
            std::string list;
            for (int i = 0; i < n; ++i)
                list += (i ? "," : "") + count.rest;
            step("s XI " + list);
            return true;
        }
        if (line.word == "a") {
            step("b 1|ActionAll|alarm=" + line.rest);
            return true;
        }
        if (line.word == "A") {
            step("b 1|AckAll|");
            return true;
        }
        return false;
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!g_module.open(zeph::built::vigilModule)) {
        std::fprintf(stderr, "%s\n", g_module.error().c_str());
        std::exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    AlarmScript script(g_module.factory());
    script.run(zeph::fuzz::splitLines(data, size));
    return 0;
}
