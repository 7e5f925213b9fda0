// What a user meets before running anything: --help and --version of every
// program, the manual pages, and the files an installation puts under its
// prefix.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/program_info.hpp"
#include "corvo/options.hpp"
#include "corvo_proc.hpp"
#include "models/model.hpp"
#include "wenlo/models.hpp"

using namespace common;
using namespace pipes;
using namespace models;
using namespace corvo;

namespace {

namespace fs = std::filesystem;
using corvo_test::bin_dir;
using corvo_test::child;
using strings = std::vector<std::string>;

strings rows_of(const model_spec* table)
{
    strings out;
    for (; table->parse; ++table)
        out.emplace_back(table->text);
    return out;
}
strings rows_of(const wenlo::model_spec* table)
{
    strings out;
    for (; table->parse; ++table)
        out.emplace_back(table->text);
    return out;
}

// Every usage text of corvo's model tables, then of wenlo's.
strings corvo_models()
{
    strings out;
    for (const model_list_entry& e : model_list) {
        const strings r = rows_of(e.table);
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}
strings wenlo_models()
{
    strings out;
    for (const wenlo::model_spec* t : {wenlo::delay_table, wenlo::bw_table, wenlo::loss_table}) {
        const strings r = rows_of(t);
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

struct help_case {
    const char* program;
    strings args;
    strings (*must_hold)();  // texts the standard output must contain
};

void PrintTo(const help_case& c, std::ostream* os)
{
    *os << c.program;
    for (const std::string& a : c.args)
        *os << ' ' << a;
}

strings corvo_help()
{
    strings s = corvo_models();
    s.push_back(corvo_usage);
    s.push_back("-M max-delay");
    return s;
}
strings wenlo_help()
{
    strings s = wenlo_models();
    s.push_back("-f file");
    return s;
}
strings stat_help() { return {"usage: corvo-stat [-n count] [--json] session-file\n", "-n count", "--json"}; }
strings probe_help() { return {"usage: probe send -i PORT", "-s SIZES"}; }
strings shell_help() { return {"usage: corvo-shell [corvo options] [-- COMMAND [ARGS...]]\n"}; }
strings version_line(const char* program) { return {std::string(program) + " " + PROJECT_VERSION_TEXT}; }

class help_test : public ::testing::TestWithParam<help_case> {};

TEST_P(help_test, prints_on_standard_output_and_ends_with_zero)
{
    const help_case& c = GetParam();
    strings argv{bin_dir + "/" + c.program};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    child p(argv);
    ASSERT_TRUE(p.started());
    EXPECT_EQ(p.finish(10000), 0) << p.err();
    EXPECT_EQ(p.err(), "");
    for (const std::string& text : c.must_hold())
        EXPECT_NE(p.out().find(text), std::string::npos) << "missing: " << text << "\n" << p.out();
}

INSTANTIATE_TEST_SUITE_P(
    programs, help_test,
    ::testing::Values(help_case{"corvo", {"--help"}, corvo_help},
                      help_case{"corvo", {"-v", "-D", "10ms", "--help", "-i", "x"}, corvo_help},
                      help_case{"wenlo", {"--help"}, wenlo_help},
                      help_case{"corvo-stat", {"--help"}, stat_help},
                      help_case{"probe", {"--help"}, probe_help},
                      help_case{"corvo-shell", {"-D", "10ms", "--help"}, shell_help},
                      help_case{"corvo", {"--version"}, [] { return version_line("corvo"); }},
                      help_case{"wenlo", {"-C", "-1", "--version"}, [] { return version_line("wenlo"); }},
                      help_case{"corvo-stat", {"--version"}, [] { return version_line("corvo-stat"); }},
                      help_case{"probe", {"--version"}, [] { return version_line("probe"); }},
                      help_case{"corvo-shell", {"--version"}, [] { return version_line("corvo-shell"); }}));

// Which words getopt would read as options: an option's argument, a word
// after "--" or a longer word are not --help.
TEST(info_request, found_only_where_getopt_reads_an_option)
{
    struct row {
        strings args;
        const char* optstring;
        info_request want;
    };
    const row rows[] = {
        {{"--help"}, "vs:", info_request::help},
        {{"-v", "--version", "--help"}, "vs:", info_request::version},
        {{"file", "--help"}, "vs:", info_request::help},   // getopt moves past operands
        {{"file", "--help"}, "+vs:", info_request::none},  // ... unless told to stop there
        {{"-v", "--help", "file"}, "+:vs:", info_request::help},
        {{"-s", "--help"}, "vs:", info_request::none},   // the argument of -s
        {{"-vs", "--help"}, "vs:", info_request::none},  // -s at the end of a cluster
        {{"-s--help", "-v"}, "vs:", info_request::none},
        {{"-sfile", "--version"}, "vs:", info_request::version},  // -s took the rest of its word
        {{"--", "--help"}, "vs:", info_request::none},
        {{"--helpme"}, "vs:", info_request::none},
        {{}, "vs:", info_request::none},
    };
    for (const row& r : rows) {
        std::vector<char*> argv{const_cast<char*>("prog")};
        for (const std::string& a : r.args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        EXPECT_EQ(find_info_request(static_cast<int>(r.args.size()) + 1, argv.data(), r.optstring), r.want)
            << ::testing::PrintToString(r.args) << " " << r.optstring;
    }
}

std::string read_file(const fs::path& p)
{
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A shell command's status and its output (standard error included).
int run_shell(const std::string& cmd, std::string& output)
{
    child p({"/bin/sh", "-c", cmd + " 2>&1"});
    const int status = p.finish(60000);
    output = p.out();
    return status;
}

const fs::path man_dir = fs::path(TEST_SOURCE_DIR) / "man";

// Every manual page renders without a warning, and the pages of corvo and
// wenlo name every model of their tables.
TEST(man_pages, render_without_warnings_and_name_every_model)
{
    std::string out;
    ASSERT_EQ(run_shell("command -v mandoc", out), 0) << "mandoc is missing (scripts/deps.sh installs it)";
    int pages = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(man_dir)) {
        if (e.path().extension() != ".1")
            continue;
        ++pages;
        EXPECT_EQ(run_shell("mandoc -T lint -W warning '" + e.path().string() + "'", out), 0) << out;
        EXPECT_EQ(out, "") << e.path();
    }
    EXPECT_GE(pages, 4);

    // In mdoc "constant,delay" is written "Cm constant , Ns Ar delay": compare
    // the rendered text, in which the words are joined again.
    const auto rendered = [&](const char* page) {
        EXPECT_EQ(run_shell("mandoc -T ascii '" + (man_dir / page).string() + "'", out), 0) << out;
        std::string plain;  // without the overstrikes of bold and underline: "c\bc", "_\bc"
        for (size_t k = 0; k < out.size(); ++k) {
            if (k + 1 < out.size() && out[k + 1] == '\b')
                ++k;
            else
                plain += out[k];
        }
        return plain;
    };
    const struct {
        const char* page;
        strings models;
    } pages_models[] = {{"corvo.1", corvo_models()}, {"wenlo.1", wenlo_models()}};
    for (const auto& pm : pages_models) {
        const std::string text = rendered(pm.page);
        for (const std::string& row : pm.models) {
            const std::string syntax = row.substr(0, row.find(" #"));  // without the condition
            EXPECT_NE(text.find(syntax), std::string::npos) << pm.page << " lacks " << syntax;
        }
    }
}

// cmake --install into a fresh prefix: the programs in bin (runnable), the
// manual pages in share/man/man1.
TEST(install, puts_programs_and_manual_pages_under_the_prefix)
{
    char tmpl[] = "/tmp/corvo-install-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const fs::path prefix = tmpl;
    struct cleanup {
        fs::path p;
        ~cleanup() { fs::remove_all(p); }
    } guard{prefix};

    std::string out;
    ASSERT_EQ(run_shell(std::string("'") + CMAKE_COMMAND_PATH + "' --install '" + TEST_BUILD_DIR +
                            "' --prefix '" + prefix.string() + "'",
                        out),
              0)
        << out;
    for (const char* prog : {"corvo", "wenlo", "corvo-stat", "probe", "corvo-shell"}) {
        const fs::path p = prefix / "bin" / prog;
        EXPECT_EQ(access(p.c_str(), X_OK), 0) << p;
    }
    strings pages{"corvo.1", "wenlo.1", "corvo-stat.1", "corvo-shell.1"};
    if (fs::exists(fs::path(TEST_SOURCE_DIR) / "tools" / "corvo-plot")) {
        EXPECT_EQ(access((prefix / "bin" / "corvo-plot").c_str(), X_OK), 0);
        pages.push_back("corvo-plot.1");
    }
    for (const std::string& page : pages) {
        const fs::path installed = prefix / "share" / "man" / "man1" / page;
        EXPECT_EQ(read_file(installed), read_file(man_dir / page)) << installed;
    }
    // The installed program is the one built, and corvo-shell finds its corvo beside it.
    child v({(prefix / "bin" / "corvo").string(), "--version"});
    EXPECT_EQ(v.finish(10000), 0);
    EXPECT_EQ(v.out().rfind(std::string("corvo ") + PROJECT_VERSION_TEXT, 0), 0u) << v.out();
}

}  // namespace
