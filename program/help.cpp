#include "program/help.h"

namespace dravik {

const char kTitle[] = "Wii dravik 0.2a\n";
const char kBanner[] =
    "Wii dravik 0.2a\n"
    "lists, unpacks and packs U8 archives (.arc, .szs, banners) safely and whole\n"
    "usage: dravik <file.arc>\n";

const char kOptions[] =
    "\n"
    "usage: dravik [options] ARCHIVE          list and unpack into the current folder\n"
    "       dravik -c [options] ARCHIVE DIR   pack the contents of DIR into ARCHIVE\n"
    "       dravik --compress|--decompress [options] IN OUT\n"
    "       dravik --check [--json] ARCHIVE...  is each archive sound, all the way down\n"
    "\n"
    "Reading (options come before the archive; -- ends them):\n"
    "  -t, --list             list only; create, change and remove nothing\n"
    "  -C, --directory DIR    unpack into DIR (created with its parents if missing)\n"
    "      --include GLOB     act only on entries whose path matches (repeatable)\n"
    "      --exclude GLOB     skip entries whose path matches (repeatable; wins)\n"
    "  -O, --to-stdout        write the selected files' data to standard output\n"
    "      --json             the listing as JSON Lines\n"
    "  -q, --quiet            no listing and no status lines\n"
    "  -r, --recursive        archives inside archives too: a file NAME holding one\n"
    "                         is unpacked as it is and its contents into NAME.d/;\n"
    "                         with -c, each NAME.d/ is packed back into NAME first\n"
    "\n"
    "Writing:\n"
    "  -c, --create           pack DIR into ARCHIVE (.szs: Yaz0-compressed)\n"
    "      --like ORIGINAL    lay the new archive out like ORIGINAL, byte for byte\n"
    "      --align N          data alignment, a power of two from 1 to 65536 (32)\n"
    "      --yaz0             compress with Yaz0 whatever the name\n"
    "      --no-compress      write a bare U8 archive whatever the name\n"
    "      --force            replace an existing output file\n"
    "      --compress         Yaz0-compress IN into OUT\n"
    "      --decompress       peel every container of IN and write what it holds\n"
    "      --check            check each ARCHIVE to its last layer: carriers, sizes,\n"
    "                         checksums, tables; ARCHIVE: ok, or N problems\n"
    "      --level LEVEL      Yaz0 effort: fast, default or best\n"
    "  -j, --threads N        compression threads (default: one per CPU)\n"
    "\n"
    "  -h, --help             this text\n"
    "      --version          the program's title\n"
    "\n"
    "Packing puts each folder's files, then its subfolders, in name order\n"
    "ignoring ASCII case; --like keeps ORIGINAL's order, names and padding.\n"
    "A folder of the archive's root is unpacked as arc/ when it is the root's\n"
    "only folder; when the root holds several, each keeps its name.\n"
    "Exit status: 0 when everything was done, 1 otherwise (--check: 1 when an\n"
    "archive has a problem; warnings do not count).\n";

}  // namespace dravik
