#include "program/options.h"

#include <cstring>

namespace dravik {

namespace {

struct Parser {
    Options& o;
    std::string& error;
    bool mode_set = false;
    bool has_directory = false;

    bool fail(const std::string& reason) {
        error = reason;
        return false;
    }

    bool set_mode(Mode mode, const char* spelling) {
        if (mode_set && o.mode != mode)
            return fail(std::string("conflicting options: ") + spelling +
                        " cannot be combined with another mode");
        o.mode = mode;
        mode_set = true;
        return true;
    }

    static bool parse_number(const std::string& text, std::uint64_t max, std::uint64_t* value) {
        if (text.empty() || text.size() > 10) return false;
        std::uint64_t v = 0;
        for (char c : text) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (v > max) return false;
        *value = v;
        return true;
    }

    // Options that take a value: the value has been found, now apply it.
    bool apply_value(const std::string& name, const std::string& value) {
        if (name == "C" || name == "directory") {
            if (value.empty()) return fail("option '" + name + "' needs a folder name");
            o.directory = value;
            has_directory = true;
        } else if (name == "include") {
            o.include.push_back(value);
        } else if (name == "exclude") {
            o.exclude.push_back(value);
        } else if (name == "like") {
            if (value.empty()) return fail("option '--like' needs an archive");
            o.like = value;
        } else if (name == "align") {
            std::uint64_t n = 0;
            if (!parse_number(value, 65536, &n) || n == 0 || (n & (n - 1)) != 0)
                return fail("--align takes a power of two from 1 to 65536, not '" + value + "'");
            o.align = static_cast<std::uint32_t>(n);
        } else if (name == "level") {
            if (value == "fast") o.yaz0.level = yaz0::Level::fast;
            else if (value == "default") o.yaz0.level = yaz0::Level::standard;
            else if (value == "best") o.yaz0.level = yaz0::Level::best;
            else return fail("--level takes fast, default or best, not '" + value + "'");
            o.level_given = true;
        } else if (name == "o" || name == "output") {
            if (value.empty()) return fail("option '" + name + "' needs a file name");
            o.output = value;
        } else if (name == "j" || name == "threads") {
            std::uint64_t n = 0;
            if (!parse_number(value, 1024, &n) || n == 0)
                return fail("-j takes a thread count from 1 to 1024, not '" + value + "'");
            o.yaz0.threads = static_cast<unsigned>(n);
        }
        return true;
    }

    static bool takes_value(const std::string& name, bool is_long) {
        if (!is_long) return name == "C" || name == "j" || name == "o";
        static const char* const kNames[] = {"directory", "include", "exclude", "like",
                                             "align",     "level",   "threads", "output"};
        for (const char* n : kNames)
            if (name == n) return true;
        return false;
    }

    bool apply_flag(const std::string& name, const char* spelling) {
        if (name == "t" || name == "list") return set_mode(Mode::list, spelling);
        if (name == "O" || name == "to-stdout") return set_mode(Mode::to_stdout, spelling);
        if (name == "c" || name == "create") return set_mode(Mode::pack, spelling);
        if (name == "compress") return set_mode(Mode::compress, spelling);
        if (name == "decompress") return set_mode(Mode::decompress, spelling);
        if (name == "u" || name == "update") return set_mode(Mode::update, spelling);
        if (name == "delete") return set_mode(Mode::remove, spelling);
        if (name == "rename") return set_mode(Mode::rename, spelling);
        if (name == "diff") return set_mode(Mode::diff, spelling);
        if (name == "n" || name == "dry-run") return o.dry_run = true;
        if (name == "check") return set_mode(Mode::check, spelling);
        if (name == "r" || name == "recursive") return o.recursive = true;
        if (name == "h" || name == "help") return set_mode(Mode::help, spelling);
        if (name == "version") return set_mode(Mode::version, spelling);
        if (name == "json") return o.json = true;
        if (name == "q" || name == "quiet") return o.quiet = true;
        if (name == "force") return o.force = true;
        if (name == "yaz0") return o.compression = Compression::yaz0, true;
        if (name == "no-compress") return o.compression = Compression::none, true;
        return fail(std::string("unknown option '") + spelling + "' (see dravik --help)");
    }

    // Checks that hold whatever the order the options came in.
    bool finish() {
        if (o.mode == Mode::help || o.mode == Mode::version) return true;
        if (o.mode == Mode::to_stdout && has_directory)
            return fail("conflicting options: -O writes to standard output, -C to a folder");
        if (o.mode == Mode::to_stdout && o.json)
            return fail("conflicting options: -O and --json both write to standard output");
        if (o.recursive && (o.mode == Mode::compress || o.mode == Mode::decompress))
            return fail("conflicting options: -r applies to listing, unpacking, -O, -c, the edits, --diff and --check");
        const bool edit = o.mode == Mode::update || o.mode == Mode::remove || o.mode == Mode::rename;
        if ((!o.output.empty() || o.dry_run) && !edit)
            return fail(std::string(o.dry_run ? "-n" : "-o") + " applies only to -u, --delete and --rename");
        if (!o.output.empty() && o.dry_run)
            return fail("conflicting options: -n writes nothing, -o names a file to write");
        if (edit) {
            const char* what = o.mode == Mode::update ? "-u needs an archive and at least one PATH"
                               : o.mode == Mode::remove ? "--delete needs an archive and at least one GLOB"
                                                        : "--rename needs an archive, OLD and NEW";
            const std::size_t wanted = o.mode == Mode::rename ? 3 : 2;
            if (o.operands.size() < wanted) return fail(what);
            if (o.mode == Mode::rename && o.operands.size() > 3)
                return fail("too many operands: '" + o.operands[3] + "'");
            if (has_directory && o.mode != Mode::update)
                return fail(std::string("-C applies to -u, whose PATHs are read from DIR; ") +
                            (o.mode == Mode::remove ? "--delete" : "--rename") + " reads nothing from disk");
            return true;
        }
        const bool two = o.mode == Mode::pack || o.mode == Mode::compress ||
                         o.mode == Mode::decompress || o.mode == Mode::diff;
        if (o.operands.empty())
            return fail(two ? "missing operands (see dravik --help)"
                            : "no archive given (see dravik --help)");
        if (two && o.operands.size() < 2)
            return fail(o.mode == Mode::pack   ? "-c needs an archive and a folder"
                        : o.mode == Mode::diff ? "--diff needs two archives"
                                               : "missing output file (see dravik --help)");
        if (two && o.operands.size() > 2)
            return fail("too many operands: '" + o.operands[2] + "'");
        return true;
    }
};

}  // namespace

bool parse_options(int argc, char** argv, Options& options, std::string& error) {
    options = Options();
    if (argc <= 1) {
        options.mode = Mode::banner;
        return true;
    }
    Parser p{options, error};
    int i = 1;
    // The next argument, as the value of an option that had none attached
    // ("-Cout", "--directory=out").
    auto value_of = [&](const std::string& spelling, std::string* value) -> bool {
        if (i + 1 >= argc) return p.fail("option '" + spelling + "' needs a value");
        *value = argv[++i];
        return true;
    };
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') break;  // the first operand ends the options
        if (arg[1] == '-') {
            const std::size_t eq = arg.find('=');
            const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            if (name.size() < 2) return p.fail("unknown option '" + arg + "' (see dravik --help)");
            if (Parser::takes_value(name, true)) {
                std::string value = eq != std::string::npos ? arg.substr(eq + 1) : "";
                if (eq == std::string::npos && !value_of("--" + name, &value)) return false;
                if (!p.apply_value(name, value)) return false;
            } else {
                if (eq != std::string::npos)
                    return p.fail("option '--" + name + "' takes no value");
                if (!p.apply_flag(name, arg.c_str())) return false;
            }
            continue;
        }
        // A cluster of short options, as tar takes them: "-tq", "-Cout".
        for (std::size_t k = 1; k < arg.size(); ++k) {
            const std::string name(1, arg[k]);
            const std::string spelling = "-" + name;
            if (Parser::takes_value(name, false)) {
                std::string value = arg.substr(k + 1);
                if (value.empty() && !value_of(spelling, &value)) return false;
                if (!p.apply_value(name, value)) return false;
                break;
            }
            if (!p.apply_flag(name, spelling.c_str())) return false;
        }
    }
    for (; i < argc; ++i) options.operands.emplace_back(argv[i]);
    return p.finish();
}

}  // namespace dravik
