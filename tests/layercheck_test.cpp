// scripts/check-layers.py, which CI runs on the source tree: it reads the
// layers from the README's module map and finds includes that reach a folder
// the map does not allow, include and import loops, and a map that does not
// match the folders.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "cli_util.h"
#include "tool_run.h"

namespace fs = std::filesystem;

namespace {

const std::string kMap =
    "# T\n\n## Module map\n\nText.\n\n| folder | what it owns | may use |\n|---|---|---|\n"
    "| `top/` | the top | `low/` |\n| `low/` | the bottom | |\n\n## After\n\n| `other/` | not a row | |\n";

// A tree that passes: top/a uses low/b, and two Python modules, one using
// the other.
std::map<std::string, std::string> cleanTree() {
    return {{"README.md", kMap},
            {"src/top/a.h", "#pragma once\n"},
            {"src/top/a.cpp", "#include \"top/a.h\"\n#include \"low/b.h\"\n"},
            {"src/low/b.h", "#pragma once\n#include <vector>\n"},
            {"src/low/b.cpp", "#include \"low/b.h\"\n"},
            {"src/testhooks.h", "#include \"top/a.h\"\n"},
            {"python/quelmo/__init__.py", "from ._x import f\n"},
            {"python/quelmo/_x.py", "from . import _y\n\ndef f():\n    return _y.g()\n"},
            {"python/quelmo/_y.py", "import os\n\ndef g():\n    return os.sep\n"}};
}

TEST(LayerCheck, FindsWhatBreaksTheLayersOfTheModuleMap) {
    struct Case {
        const char* what;
        std::map<std::string, std::string> change;  // files written over the clean tree
        int status;
        std::string output;  // the start of what the check prints
    };
    const std::string b = "#include \"low/b.h\"\n";
    const Case cases[] = {
        {"clean", {}, 0, " 2. top/: a\n 1. low/: b\n"},
        {"a lower folder includes a higher one",
         {{"src/low/b.cpp", b + "#include \"top/a.h\"\n"}},
         1,
         "src/low/b.cpp: low/ includes top/a, but the module map does not let low/ use top/\n"},
        {"a file and a variant of its name include each other (no folding of b_c into b)",
         {{"src/low/b_c.h", b}, {"src/low/b.cpp", b + "#include \"low/b_c.h\"\n"}},
         1,
         "include loop: low/b -> low/b_c\n"},
        {"a folder the map does not list", {{"src/extra/e.h", "#pragma once\n"}}, 1,
         "src/extra/: not in the module map of README.md; add a row\n"},
        {"the map lets a folder use one above it",
         {{"README.md", "## Module map\n| `top/` | t | `low/` |\n| `low/` | l | `top/` |\n"}},
         1,
         "README.md: low/ may use top/, which is not below it in the module map\n"},
        {"the map lists a folder src/ lacks",
         {{"README.md", "## Module map\n| `top/` | t | `low/` `gone/` |\n| `low/` | l | |\n| `gone/` | g | |\n"}},
         1,
         "README.md: the module map lists gone/, which src/ does not hold\n"},
        {"a header declares a mutable global, as an inline function pointer too",
         {{"src/low/b.h", "#pragma once\nextern int counter;\ninline void (*hook)() = nullptr;\n"}},
         1,
         "src/low/b.h:2: counter is a mutable global declared in a header; give it an owner that functions are "
         "given, or name it with its reason in SHARED_STATE of scripts/check-layers.py\nsrc/low/b.h:3: hook "},
        {"the long-standing names, constants and functions pass",
         {{"src/low/b.h", "#pragma once\nextern int S;\nextern const char* const kName;\ninline constexpr int kN = "
                          "1;\ninline int twice(int n) { return 2 * n; }\nstruct T {\n    static int count;\n};\n"}},
         0,
         " 2. top/: a\n"},
        {"a Python import loop closed inside a function",
         {{"python/quelmo/_y.py", "def g():\n    from quelmo._x import f\n    return f\n"}},
         1,
         "python/quelmo: import loop: _x -> _y\n"},
    };
    for (const Case& c : cases) {
        CliRun scratch;
        std::map<std::string, std::string> tree = cleanTree();
        for (const auto& [name, text] : c.change) tree[name] = text;
        for (const auto& [name, text] : tree) {
            fs::create_directories((scratch.dir() / name).parent_path());
            scratch.write(name, text);
        }
        const ToolResult result =
            runTool({kPython, sourcePath("scripts/check-layers.py"), scratch.dir().string()}, scratch.dir());
        EXPECT_EQ(result.status, c.status) << c.what << "\n" << result.out << result.err;
        EXPECT_EQ(result.out.substr(0, c.output.size()), c.output) << c.what;
    }
}

}  // namespace
