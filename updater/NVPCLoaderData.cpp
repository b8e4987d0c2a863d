// The loader control's state in a compound document and its picture for data transfer.
#include <olectl.h>

#include "updater/NVPCLoader.h"

namespace
{
// The stream of a storage that holds what IPersistStreamInit saves.
const wchar_t kContentsStream[] = L"Contents";

bool IsPictureFormat(const FORMATETC& format)
{
    return format.cfFormat == CF_METAFILEPICT && (format.tymed & TYMED_MFPICT) &&
           format.dwAspect == DVASPECT_CONTENT;
}
} // namespace

// ---- IPersistStorage ----

HRESULT CNVPCLoader::InitNew(IStorage* storage)
{
    if (!storage)
        return E_POINTER;
    return InitNew();
}

HRESULT CNVPCLoader::Load(IStorage* storage)
{
    if (!storage)
        return E_POINTER;
    ComPtr<IStream> stream;
    HRESULT hr =
        storage->OpenStream(kContentsStream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.put());
    return FAILED(hr) ? hr : Load(stream.get());
}

HRESULT CNVPCLoader::Save(IStorage* storage, WINBOOL)
{
    if (!storage)
        return E_POINTER;
    ComPtr<IStream> stream;
    HRESULT hr = storage->CreateStream(kContentsStream, STGM_WRITE | STGM_SHARE_EXCLUSIVE | STGM_CREATE, 0, 0,
                                       stream.put());
    return FAILED(hr) ? hr : Save(stream.get(), TRUE);
}

HRESULT CNVPCLoader::SaveCompleted(IStorage*)
{
    return S_OK;
}

HRESULT CNVPCLoader::HandsOffStorage()
{
    return S_OK; // no storage is kept between calls
}

// ---- IDataObject ----

HRESULT CNVPCLoader::GetData(FORMATETC* format, STGMEDIUM* medium)
{
    if (!format || !medium)
        return E_POINTER;
    if (!IsPictureFormat(*format))
        return DV_E_FORMATETC;
    return ComFirewall(
        [&]() -> HRESULT
        {
            // The rectangle over the extent, in HIMETRIC, as an anisotropic metafile.
            HDC dc = ::CreateMetaFileW(nullptr);
            if (!dc)
                return E_OUTOFMEMORY;
            ::SetWindowOrgEx(dc, 0, 0, nullptr);
            ::SetWindowExtEx(dc, m_extent.cx, m_extent.cy, nullptr);
            ::Rectangle(dc, 0, 0, m_extent.cx, m_extent.cy);
            HMETAFILE metafile = ::CloseMetaFile(dc);
            if (!metafile)
                return E_OUTOFMEMORY;
            HGLOBAL global = ::GlobalAlloc(GMEM_MOVEABLE, sizeof(METAFILEPICT));
            auto* picture = global ? static_cast<METAFILEPICT*>(::GlobalLock(global)) : nullptr;
            if (!picture)
            {
                if (global)
                    ::GlobalFree(global);
                ::DeleteMetaFile(metafile);
                return E_OUTOFMEMORY;
            }
            picture->mm = MM_ANISOTROPIC;
            picture->xExt = m_extent.cx;
            picture->yExt = m_extent.cy;
            picture->hMF = metafile;
            ::GlobalUnlock(global);
            medium->tymed = TYMED_MFPICT;
            medium->hMetaFilePict = global;
            medium->pUnkForRelease = nullptr;
            return S_OK;
        });
}

HRESULT CNVPCLoader::GetDataHere(FORMATETC*, STGMEDIUM*)
{
    return E_NOTIMPL;
}

HRESULT CNVPCLoader::QueryGetData(FORMATETC* format)
{
    if (!format)
        return E_POINTER;
    return IsPictureFormat(*format) ? S_OK : DV_E_FORMATETC;
}

HRESULT CNVPCLoader::GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out)
{
    if (out)
        out->ptd = nullptr;
    return E_NOTIMPL;
}

HRESULT CNVPCLoader::SetData(FORMATETC*, STGMEDIUM*, WINBOOL)
{
    return E_NOTIMPL;
}

HRESULT CNVPCLoader::EnumFormatEtc(DWORD, IEnumFORMATETC** formats)
{
    if (formats)
        *formats = nullptr;
    return E_NOTIMPL;
}

HRESULT CNVPCLoader::DAdvise(FORMATETC* format, DWORD flags, IAdviseSink* sink, DWORD* connection)
{
    return ComFirewall(
        [&]() -> HRESULT
        {
            if (!m_dataAdviseHolder)
                ThrowIfFailed(::CreateDataAdviseHolder(m_dataAdviseHolder.put()));
            return m_dataAdviseHolder->Advise(this, format, flags, sink, connection);
        });
}

HRESULT CNVPCLoader::DUnadvise(DWORD connection)
{
    return m_dataAdviseHolder ? m_dataAdviseHolder->Unadvise(connection) : OLE_E_NOCONNECTION;
}

HRESULT CNVPCLoader::EnumDAdvise(IEnumSTATDATA** advises)
{
    if (!advises)
        return E_POINTER;
    *advises = nullptr;
    return m_dataAdviseHolder ? m_dataAdviseHolder->EnumAdvise(advises) : E_FAIL;
}
