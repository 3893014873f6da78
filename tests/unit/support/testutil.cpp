// Test helpers over std::filesystem, so that the tests stay free of platform headers.
#include "testutil.h"
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Paths are UTF-8 here as in the product; Windows would read a narrow path in its code page.
fs::path P(const std::string& utf8) { return fs::u8path(utf8); }

}   // namespace

TempDir::TempDir()
{
    std::random_device rd;
    std::mt19937_64 gen(((uint64_t)rd() << 32) ^ rd());
    fs::path base = fs::temp_directory_path();
    for (;;) {
        fs::path p = base / ("upgtest-" + std::to_string(gen() % 1000000000ull));
        std::error_code ec;
        if (fs::create_directory(p, ec)) {
            root = p.u8string();
            root += (char)fs::path::preferred_separator;
            return;
        }
    }
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Files left read-only by a test must not stop the clean-up.
    for (auto it = fs::recursive_directory_iterator(P(root), ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(P(root), ec);
}

std::string TempDir::operator/(const std::string& name) const
{
    std::string n = name;
    for (char& c : n)
        if (c == '\\' || c == '/') c = (char)fs::path::preferred_separator;
    return root + n;
}

Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

void WriteFileBytes(const std::string& path, const Bytes& data)
{
    std::error_code ec;
    fs::create_directories(P(path).parent_path(), ec);
    std::ofstream f(P(path), std::ios::binary | std::ios::trunc);
    f.write((const char*)data.data(), (std::streamsize)data.size());
}

Bytes ReadFileBytes(const std::string& path)
{
    std::ifstream f(P(path), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

bool PathExists(const std::string& path)
{
    std::error_code ec;
    return fs::exists(P(path), ec);
}
