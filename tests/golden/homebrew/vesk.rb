class Vesk < Formula
  desc "Local web development for PHP, Node.js and static sites"
  homepage "https://code.example.com/vesk/vesk"
  version "1.2.0"
  license "MIT"

  on_macos do
    if Hardware::CPU.arm?
      url "https://code.example.com/vesk/vesk/releases/download/v1.2.0/vesk-darwin-arm64"
      sha256 "aaaa1111"
    else
      url "https://mirror.example.com/vesk-1.2.0-intel"
      sha256 "bbbb2222"
    end
  end

  def install
    bin.install "vesk"
  end

  test do
    assert_match version.to_s, shell_output("#{bin}/vesk --version")
  end
end