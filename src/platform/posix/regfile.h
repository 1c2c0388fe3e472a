// A registry hive kept in a Windows ".reg" export file:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\SOFTWARE\Quoril Semiconductor\ZRX4620\Sockets\Ports]
//   "Console_To_Dispatcher"="5000"
//
// Key paths compare case-insensitively, as in the Windows registry. Files
// exported by regedit (UTF-16 with a byte-order mark, CR LF line ends) are
// read as well; only text values ("Name"="value") are kept.
#ifndef TERMBRIDGE_REGFILE_H
#define TERMBRIDGE_REGFILE_H

#include <string>
#include <utility>
#include <vector>

class RegFile {
public:
    static RegFile Load(const std::string& path);
    static RegFile Parse(const std::string& content);

    std::string Get(const std::string& keyPath, const std::string& valueName) const;
    void Set(const std::string& keyPath, const std::string& valueName, const std::string& value);
    bool Remove(const std::string& keyPath, const std::string& valueName);

    std::string Text() const;
    bool Save(const std::string& path) const;

private:
    struct Key {
        std::string path;
        std::vector<std::pair<std::string, std::string>> values;
    };
    Key* FindKey(const std::string& path);
    const Key* FindKey(const std::string& path) const;

    std::vector<Key> keys_;
};

#endif
