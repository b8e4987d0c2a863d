#include "updater/Registrar.h"

#include <shlwapi.h>

#include <cwctype>
#include <vector>

namespace
{
const HRESULT kBadScript = DISP_E_EXCEPTION;

std::wstring FromUtf8(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int chars = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(chars > 0 ? chars : 0, L'\0');
    if (chars > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], chars);
    return out;
}

struct Token
{
    enum Kind
    {
        Word,
        Quoted,
        Open,
        Close,
        Equals,
        End
    } kind;
    std::wstring text;
};

// Splits a script into words, quoted texts and the three punctuation marks.
bool Tokenize(const std::wstring& script, std::vector<Token>& out)
{
    size_t i = 0, n = script.size();
    while (i < n)
    {
        wchar_t c = script[i];
        if (iswspace(c))
        {
            ++i;
        }
        else if (c == L'{' || c == L'}' || c == L'=')
        {
            out.push_back({c == L'{'   ? Token::Open
                           : c == L'}' ? Token::Close
                                       : Token::Equals,
                           std::wstring(1, c)});
            ++i;
        }
        else if (c == L'\'')
        {
            std::wstring text;
            ++i;
            for (;;)
            {
                if (i >= n)
                    return false; // an open quote
                if (script[i] == L'\'')
                {
                    if (i + 1 < n && script[i + 1] == L'\'')
                    {
                        text += L'\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                text += script[i++];
            }
            out.push_back({Token::Quoted, text});
        }
        else
        {
            size_t start = i;
            while (i < n && !iswspace(script[i]) && script[i] != L'{' && script[i] != L'}' &&
                   script[i] != L'=' && script[i] != L'\'')
                ++i;
            out.push_back({Token::Word, script.substr(start, i - start)});
        }
    }
    out.push_back({Token::End, L""});
    return true;
}

struct RegValue
{
    std::wstring name; // empty: the key's default value
    std::wstring data;
};

struct RegKey
{
    enum Flag
    {
        Plain,
        NoRemove,
        ForceRemove,
        Delete
    } flag = Plain;
    std::wstring name;
    std::vector<RegValue> values;
    std::vector<RegKey> keys;
};

class Parser
{
  public:
    Parser(const std::vector<Token>& tokens, const std::map<std::wstring, std::wstring>& replacements)
        : m_tokens(tokens), m_replacements(replacements)
    {
    }

    // root := NAME '{' body '}'
    bool Roots(std::vector<RegKey>& roots)
    {
        while (Peek().kind != Token::End)
        {
            RegKey root;
            if (Peek().kind != Token::Word || !Expand(Next().text, root.name) || Next().kind != Token::Open ||
                !Body(root))
                return false;
            roots.push_back(std::move(root));
        }
        return true;
    }

  private:
    const Token& Peek() const { return m_tokens[m_pos]; }
    const Token& Next() { return m_tokens[m_pos < m_tokens.size() - 1 ? m_pos++ : m_pos]; }

    // Replaces %NAME% by its value; false for an unknown name or a lone percent sign.
    bool Expand(const std::wstring& text, std::wstring& out) const
    {
        out.clear();
        for (size_t i = 0; i < text.size(); ++i)
        {
            if (text[i] != L'%')
            {
                out += text[i];
                continue;
            }
            size_t end = text.find(L'%', i + 1);
            if (end == std::wstring::npos)
                return false;
            std::wstring name = text.substr(i + 1, end - i - 1);
            if (name.empty())
            {
                out += L'%';
            }
            else
            {
                auto found = m_replacements.find(name);
                if (found == m_replacements.end())
                    return false;
                out += found->second;
            }
            i = end;
        }
        return true;
    }

    bool Text(std::wstring& out)
    {
        const Token& t = Next();
        return (t.kind == Token::Word || t.kind == Token::Quoted) && Expand(t.text, out);
    }

    // "= s 'text'"
    bool StringData(std::wstring& out)
    {
        if (Next().kind != Token::Equals)
            return false;
        const Token& type = Next();
        return type.kind == Token::Word && (type.text == L"s" || type.text == L"S") && Text(out);
    }

    // body := (key | 'val' name = s 'text')* '}'
    bool Body(RegKey& parent)
    {
        for (;;)
        {
            const Token& t = Peek();
            if (t.kind == Token::Close)
            {
                Next();
                return true;
            }
            if (t.kind == Token::End)
                return false;
            if (t.kind == Token::Word && _wcsicmp(t.text.c_str(), L"val") == 0)
            {
                Next();
                RegValue value;
                if (!Text(value.name) || !StringData(value.data))
                    return false;
                parent.values.push_back(std::move(value));
                continue;
            }
            RegKey key;
            if (!Key(key))
                return false;
            parent.keys.push_back(std::move(key));
        }
    }

    // key := [NoRemove|ForceRemove|Delete] name ['= s text'] ['{' body]
    bool Key(RegKey& key)
    {
        if (Peek().kind == Token::Word)
        {
            const std::wstring& word = Peek().text;
            if (_wcsicmp(word.c_str(), L"NoRemove") == 0)
                key.flag = RegKey::NoRemove;
            else if (_wcsicmp(word.c_str(), L"ForceRemove") == 0)
                key.flag = RegKey::ForceRemove;
            else if (_wcsicmp(word.c_str(), L"Delete") == 0)
                key.flag = RegKey::Delete;
            if (key.flag != RegKey::Plain)
                Next();
        }
        if (!Text(key.name) || key.name.empty())
            return false;
        if (Peek().kind == Token::Equals)
        {
            RegValue value;
            if (!StringData(value.data))
                return false;
            key.values.push_back(std::move(value));
        }
        if (Peek().kind == Token::Open)
        {
            Next();
            return Body(key);
        }
        return true;
    }

    const std::vector<Token>& m_tokens;
    const std::map<std::wstring, std::wstring>& m_replacements;
    size_t m_pos = 0;
};

HRESULT FromWin32(LONG error)
{
    return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error);
}

HRESULT RegisterKey(HKEY parent, const RegKey& key)
{
    if (key.flag == RegKey::ForceRemove || key.flag == RegKey::Delete)
    {
        ::SHDeleteKeyW(parent, key.name.c_str()); // absent is fine
        if (key.flag == RegKey::Delete)
            return S_OK;
    }
    HKEY handle = nullptr;
    LONG error = ::RegCreateKeyExW(parent, key.name.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                                   &handle, nullptr);
    if (error != ERROR_SUCCESS)
        return FromWin32(error);
    HRESULT hr = S_OK;
    for (const RegValue& value : key.values)
    {
        DWORD bytes = static_cast<DWORD>((value.data.size() + 1) * sizeof(wchar_t));
        hr = FromWin32(::RegSetValueExW(handle, value.name.empty() ? nullptr : value.name.c_str(), 0, REG_SZ,
                                        reinterpret_cast<const BYTE*>(value.data.c_str()), bytes));
        if (FAILED(hr))
            break;
    }
    for (size_t i = 0; SUCCEEDED(hr) && i < key.keys.size(); ++i)
        hr = RegisterKey(handle, key.keys[i]);
    ::RegCloseKey(handle);
    return hr;
}

void UnregisterKey(HKEY parent, const RegKey& key)
{
    if (key.flag == RegKey::ForceRemove)
    {
        ::SHDeleteKeyW(parent, key.name.c_str());
        return;
    }
    if (key.flag == RegKey::Delete)
        return;
    HKEY handle = nullptr;
    if (::RegOpenKeyExW(parent, key.name.c_str(), 0, KEY_READ | KEY_WRITE, &handle) != ERROR_SUCCESS)
        return; // not there: nothing to remove
    for (const RegKey& sub : key.keys)
        UnregisterKey(handle, sub);
    DWORD subKeys = 0;
    bool empty = ::RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
                 subKeys == 0;
    ::RegCloseKey(handle);
    if (key.flag == RegKey::Plain && empty)
        ::RegDeleteKeyW(parent, key.name.c_str());
}

// The end of the block whose '{' is at open (quotes respected); npos when unbalanced.
size_t BlockEnd(const std::string& script, size_t open)
{
    int depth = 0;
    bool quoted = false;
    for (size_t i = open; i < script.size(); ++i)
    {
        char c = script[i];
        if (c == '\'')
            quoted = !quoted; // a doubled quote toggles twice
        else if (!quoted && c == '{')
            ++depth;
        else if (!quoted && c == '}' && --depth == 0)
            return i;
    }
    return std::string::npos;
}
} // namespace

std::string CRegistrar::MoveClassesToUser(const std::string& script)
{
    size_t i = 0;
    while (i < script.size() && isspace(static_cast<unsigned char>(script[i])))
        ++i;
    while (i < script.size())
    {
        size_t wordEnd = i;
        while (wordEnd < script.size() && !isspace(static_cast<unsigned char>(script[wordEnd])) &&
               script[wordEnd] != '{')
            ++wordEnd;
        size_t open = script.find('{', wordEnd);
        if (open == std::string::npos)
            break;
        size_t close = BlockEnd(script, open);
        if (close == std::string::npos)
            break;
        if (_stricmp(script.substr(i, wordEnd - i).c_str(), "HKCR") == 0)
        {
            return script.substr(0, i) + "HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses" +
                   script.substr(wordEnd, close + 1 - wordEnd) + "\r\n\t}\r\n}\r\n" +
                   script.substr(close + 1);
        }
        i = close + 1;
        while (i < script.size() && isspace(static_cast<unsigned char>(script[i])))
            ++i;
    }
    return script;
}

HRESULT CRegistrar::ApplyScript(const std::string& script, bool doRegister)
{
    std::wstring text = FromUtf8(m_perUser ? MoveClassesToUser(script) : script);
    std::vector<Token> tokens;
    std::vector<RegKey> roots;
    if (!Tokenize(text, tokens) || !Parser(tokens, m_replacements).Roots(roots))
        return kBadScript;
    // Every root is known before anything is written.
    std::vector<HKEY> handles;
    for (const RegKey& root : roots)
    {
        const wchar_t* name = root.name.c_str();
        if (_wcsicmp(name, L"HKCR") == 0 || _wcsicmp(name, L"HKEY_CLASSES_ROOT") == 0)
            handles.push_back(m_classesRoot);
        else if (_wcsicmp(name, L"HKCU") == 0 || _wcsicmp(name, L"HKEY_CURRENT_USER") == 0)
            handles.push_back(m_currentUser);
        else if (_wcsicmp(name, L"HKLM") == 0 || _wcsicmp(name, L"HKEY_LOCAL_MACHINE") == 0)
            handles.push_back(HKEY_LOCAL_MACHINE);
        else
            return kBadScript;
    }
    for (size_t r = 0; r < roots.size(); ++r)
    {
        for (const RegKey& key : roots[r].keys)
        {
            if (doRegister)
            {
                HRESULT hr = RegisterKey(handles[r], key);
                if (FAILED(hr))
                    return hr;
            }
            else
            {
                UnregisterKey(handles[r], key);
            }
        }
    }
    return S_OK;
}

HRESULT CRegistrar::ResourceRegister(HMODULE module, UINT id, bool doRegister)
{
    HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(id), L"REGISTRY");
    if (!found)
        return HRESULT_FROM_WIN32(::GetLastError());
    HGLOBAL loaded = ::LoadResource(module, found);
    const char* data = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
    if (!data)
        return HRESULT_FROM_WIN32(::GetLastError());
    return ApplyScript(std::string(data, ::SizeofResource(module, found)), doRegister);
}
