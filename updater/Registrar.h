#pragma once
// CRegistrar: applies the registration scripts the program carries as REGISTRY resources,
// in the usual registrar syntax:
//
//   HKCR
//   {
//       NoRemove CLSID
//       {
//           ForceRemove '{...}' = s 'NVPCLoader Class'
//           {
//               LocalServer32 = s '%MODULE%'
//               {
//                   val ServerExecutable = s '%MODULE_RAW%'
//               }
//           }
//       }
//   }
//
// A root (HKCR, HKCU, HKLM) holds keys; a key may have a default value (= s 'text'), named
// values (val Name = s 'text') and sub-keys. Names and texts in single quotes may hold any
// character ('' is one quote); %NAME% is replaced by the value added for NAME (%% is one
// percent sign); a name with no replacement fails the script. Registering creates every key
// and value, a ForceRemove key after removing what was there; unregistering removes a
// ForceRemove key with everything under it, leaves NoRemove keys (but walks into them), and
// removes any other key once it has no sub-keys left (its values go with it).
// Only string data ('s') is supported: that is all our scripts hold.
#include <windows.h>

#include <map>
#include <string>

class CRegistrar
{
  public:
    void AddReplacement(const std::wstring& name, const std::wstring& value) { m_replacements[name] = value; }
    // Per-user mode: the top-level HKCR block is moved under HKCU\Software\Classes before
    // the script is applied.
    void SetPerUser(bool perUser) { m_perUser = perUser; }
    // Where HKCR and HKCU lead (tests point them at keys of their own). By default the
    // system's classes root and the current user's key.
    void SetRoots(HKEY classesRoot, HKEY currentUser)
    {
        m_classesRoot = classesRoot;
        m_currentUser = currentUser;
    }

    // Applies the REGISTRY resource id of module. S_OK, or the first failure (a script that
    // does not parse: DISP_E_EXCEPTION; a missing resource: the loader's error).
    HRESULT ResourceRegister(HMODULE module, UINT id, bool doRegister);
    // Applies script text (UTF-8 or ASCII).
    HRESULT ApplyScript(const std::string& script, bool doRegister);

    // The per-user rewrite of a script: "HKCR" becomes HKCU\Software\Classes.
    static std::string MoveClassesToUser(const std::string& script);

  private:
    std::map<std::wstring, std::wstring> m_replacements;
    bool m_perUser = false;
    HKEY m_classesRoot = HKEY_CLASSES_ROOT;
    HKEY m_currentUser = HKEY_CURRENT_USER;
};
