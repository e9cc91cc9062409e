// Script texts that go wrong near the top of a long file, and texts nested deeper than any
// script needs: the error names the line where the text went wrong, and reading never runs
// out of stack.
#include "Kx/Image/Script.h"

#include <gtest/gtest.h>

#include <string>

using namespace Kx::Image;

TEST(ScriptSyntax, ErrorsNameTheLineWhereTheTextWentWrong) {
    std::string body;
    for (int i = 0; i < 1100; ++i) body += " knob gain {curve smooth 1 2 linear 5 3}\n";
    std::string deepLines;
    for (int i = 0; i < 200000; ++i) deepLines += "{\n";
    const struct {
        const char* name;
        std::string text;
        std::string message;
    } cases[] = {
        {"a stray \"{\" near the top",
         "kestrel_script 1\nnode KnobKinds K1\n knob gain {curve smooth 1 2\n" + body + "end\n",
         "shot.kscript:3: a list opened with \"{\" is not closed"},
        {"a stray \"}\" near the top",
         "kestrel_script 1\nnode KnobKinds K1\n knob gain 1}\n" + body + "end\n",
         "shot.kscript:3: \"}\" closes no list"},
        {"200,000 nested lists on one line",
         "kestrel_script 1\nnode KnobKinds K1\n knob gain " + std::string(200000, '{') + "\nend\n",
         "shot.kscript:3: lists are nested more than 1000 deep; a \"{\" is not closed or the "
         "text is damaged"},
        {"200,000 nested lists, one a line", "kestrel_script 1\n" + deepLines,
         "shot.kscript:1002: lists are nested more than 1000 deep; a \"{\" is not closed or the "
         "text is damaged"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_EQ(Script::read(c.text, "shot.kscript", &error), nullptr);
        EXPECT_EQ(error, c.message);
    }
}
