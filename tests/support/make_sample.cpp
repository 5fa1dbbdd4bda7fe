// Writes the sample archive shipped with the project: a small banner-like
// tree with sibling directories, data aligned and stored out of node order,
// and a file back at the top level after the subtree.
#include <cstdio>
#include <string>

#include "archive_builder.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sample <output.arc>\n");
        return 2;
    }
    fixture::Builder b;
    b.dir("sample");
    b.dir("anim");
    b.file("intro.brlan", "RLAN: an animation would be here.\n");
    b.file("loop.brlan", "RLAN: and its loop here.\n");
    b.end();
    b.dir("blyt");
    b.file("banner.brlyt", "RLYT: the layout of the banner.\n");
    b.end();
    b.dir("timg");
    b.file("logo.tpl", std::string(300, '\x5A'));
    b.file("empty.tpl", "");
    b.end();
    b.end();
    b.file("README.txt", "Unpacked by dravik: arc/ holds the tree, this file sits beside it.\n");
    fixture::BuildOptions options;
    options.reverse_data = true;
    return fixture::write_file(argv[1], b.build(options)) ? 0 : 1;
}
