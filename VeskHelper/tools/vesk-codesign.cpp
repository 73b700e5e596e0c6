// vesk-codesign: signs executables with an appended signature, verifies them
// against a trust root, and shows who signed them.
//
//   vesk-codesign sign --key KEY.pem --cert CERT.pem [--key K --cert C ...] FILE [OUT]
//   vesk-codesign verify [--root ROOT.pem] FILE
//   vesk-codesign display [--root ROOT.pem] FILE
//   vesk-codesign strip FILE OUT
//
// Without --root, the trust root configured at build is used.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "CodeSignature.hpp"
#include "VeskIdentity.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool readFile(const std::string& path, Bytes& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool readText(const std::string& path, std::string& out) {
    Bytes b;
    if (!readFile(path, b)) return false;
    out.assign(b.begin(), b.end());
    return true;
}

// Writes beside the target and renames over it, keeping the target's mode.
bool writeFile(const std::string& path, const Bytes& data, mode_t mode) {
    const std::string tmp = path + ".signing";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()),
                  static_cast<std::streamsize>(data.size()));
        if (!out) return false;
    }
    if (::chmod(tmp.c_str(), mode) != 0) return false;
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

int usage() {
    std::cerr << "usage: vesk-codesign sign --key KEY --cert CERT [...] FILE [OUT]\n"
                 "       vesk-codesign verify|display [--root ROOT] FILE\n"
                 "       vesk-codesign strip FILE OUT\n";
    return 2;
}

int sign(const std::vector<std::string>& args) {
    std::vector<vesk::codesign::Identity> ids;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--key" && i + 3 < args.size() && args[i + 2] == "--cert") {
            vesk::codesign::Identity id;
            if (!readText(args[i + 1], id.keyPEM) || !readText(args[i + 3], id.certificatePEM)) {
                std::cerr << "vesk-codesign: cannot read " << args[i + 1] << " or " << args[i + 3]
                          << "\n";
                return 2;
            }
            ids.push_back(std::move(id));
            i += 3;
        } else {
            files.push_back(args[i]);
        }
    }
    if (ids.empty() || files.empty() || files.size() > 2) return usage();
    Bytes in;
    struct stat st {};
    if (!readFile(files[0], in) || ::stat(files[0].c_str(), &st) != 0) {
        std::cerr << "vesk-codesign: cannot read " << files[0] << "\n";
        return 2;
    }
    // Re-signing replaces an earlier signature rather than nesting one.
    std::span<const std::uint8_t> content(in);
    if (auto inner = vesk::codesign::signedContent(content)) content = *inner;
    try {
        const Bytes out = vesk::codesign::sign(content, ids);
        if (!writeFile(files.size() == 2 ? files[1] : files[0], out, st.st_mode & 07777)) {
            std::cerr << "vesk-codesign: cannot write the signed file\n";
            return 2;
        }
    } catch (const std::exception& e) {
        std::cerr << "vesk-codesign: " << e.what() << "\n";
        return 2;
    }
    return 0;
}

int check(const std::vector<std::string>& args, bool display) {
    std::string root(vesk::identity::kTrustRootPEM);
    std::string file;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--root" && i + 1 < args.size()) {
            if (!readText(args[++i], root)) return usage();
        } else {
            file = args[i];
        }
    }
    Bytes in;
    if (file.empty() || !readFile(file, in)) return usage();
    const auto v = vesk::codesign::verify(in, root);
    if (!v) {
        std::cout << file << ": not validly signed\n";
        return 1;
    }
    if (display) {
        std::cout << "Signer: " << v->signerSubject << "\n"
                  << "TeamIdentifier: " << v->teamIdentifier.value_or("not set") << "\n";
    } else {
        std::cout << file << ": valid signature\n";
    }
    return 0;
}

int strip(const std::vector<std::string>& args) {
    if (args.size() != 2) return usage();
    Bytes in;
    struct stat st {};
    if (!readFile(args[0], in) || ::stat(args[0].c_str(), &st) != 0) return usage();
    const auto content = vesk::codesign::signedContent(in);
    if (!content) {
        std::cerr << "vesk-codesign: " << args[0] << " carries no signature\n";
        return 1;
    }
    return writeFile(args[1], Bytes(content->begin(), content->end()), st.st_mode & 07777) ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "sign") return sign(args);
    if (command == "verify") return check(args, false);
    if (command == "display") return check(args, true);
    if (command == "strip") return strip(args);
    return usage();
}
