// Feeds arbitrary bytes to the INI reader through a file (the reader only reads files): one
// temporary file per process, rewritten for every input. Then asks every kind of getter, walks
// what was stored, and reads the same file as the server's settings.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "component/FinsSettings.h"
#include "utility/IniFile.h"

namespace {

// The process's input file, removed at exit.
class InputFile
{
public:
    InputFile()
    {
        char path[] = "/tmp/ini_fuzzerXXXXXX";
        int fd = mkstemp(path);
        if (fd < 0) {
            std::abort();
        }
        close(fd);
        m_path = path;
    }
    ~InputFile() { std::remove(m_path.c_str()); }

    const std::string& write(const uint8_t* data, size_t size)
    {
        FILE* file = std::fopen(m_path.c_str(), "wb");
        if (file == nullptr || std::fwrite(data, 1, size, file) != size) {
            std::abort();
        }
        std::fclose(file);
        return m_path;
    }

private:
    std::string m_path;
};

void AskEveryGetter(utility::IniFile& ini, const std::string& section, const std::string& key)
{
    (void)ini.GetString(section, key, "d");
    (void)ini.GetInt16(section, key, 1);
    (void)ini.GetUInt16(section, key, 1);
    (void)ini.GetInt32(section, key, 1);
    (void)ini.GetUInt32(section, key, 1);
    (void)ini.GetFloat(section, key, 1.5f);
    (void)ini.GetBool(section, key, true);
    (void)ini.GetStringList(section, key);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static InputFile input;
    const std::string& path = input.write(data, size);
    utility::IniFile ini(path);
    if (!ini.Load()) {
        std::abort(); // the file exists, so it must open
    }
    for (const char* section : {"s", "", "net"}) {
        for (const char* key : {"k", "a", "port"}) {
            AskEveryGetter(ini, section, key);
        }
    }
    for (const std::string& section : ini.GetSections()) {
        for (const std::string& key : ini.GetKeys(section)) {
            if (ini.GetLine(section, key) <= 0) {
                std::abort(); // every stored key came from a line of the file
            }
        }
    }
    (void)LoadFinsSettings(path); // without a logger its warnings go nowhere
    return 0;
}
