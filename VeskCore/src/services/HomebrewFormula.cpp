#include "vesk/services/HomebrewFormula.hpp"

namespace vesk {

std::string HomebrewFormula::downloadURL(std::string_view arch) const {
    return homepage + "/releases/download/v" + version + "/" + binaryName + "-darwin-" +
           std::string(arch);
}

std::string HomebrewFormula::generateRuby() const {
    const std::string a = arm64URL.empty() ? downloadURL("arm64") : arm64URL;
    const std::string x = x86URL.empty() ? downloadURL("x86_64") : x86URL;
    std::string s;
    s += "class " + className + " < Formula\n";
    s += "  desc \"" + desc + "\"\n";
    s += "  homepage \"" + homepage + "\"\n";
    s += "  version \"" + version + "\"\n";
    s += "  license \"" + license + "\"\n";
    s += "\n";
    s += "  on_macos do\n";
    s += "    if Hardware::CPU.arm?\n";
    s += "      url \"" + a + "\"\n";
    s += "      sha256 \"" + arm64SHA256 + "\"\n";
    s += "    else\n";
    s += "      url \"" + x + "\"\n";
    s += "      sha256 \"" + x86SHA256 + "\"\n";
    s += "    end\n";
    s += "  end\n";
    s += "\n";
    s += "  def install\n";
    s += "    bin.install \"" + binaryName + "\"\n";
    s += "  end\n";
    s += "\n";
    s += "  test do\n";
    s += "    assert_match version.to_s, shell_output(\"#{bin}/" + binaryName + " --version\")\n";
    s += "  end\n";
    s += "end";
    return s;
}

}  // namespace vesk
