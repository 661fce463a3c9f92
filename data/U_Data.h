#pragma once
// The data module: the three database connections, the shared query Qr_Aux
// through which nearly every command runs, and the stored-procedure components
// of the count windows. It shows nothing: every failure is raised as DbError
// for the window's step to catch or to leave to the default handler.

#include "data/Connection.h"
#include "data/SharedQuery.h"
#include "data/StoredProc.h"

#include <QObject>

class TDm_Velmor : public QObject
{
    Q_OBJECT
public:
    // Opens Cx at once; throws DbError when it cannot (start-up then ends).
    explicit TDm_Velmor(const ConnectionSettings& settings, QObject* parent = nullptr);
    ~TDm_Velmor() override;

    Connection Cx;
    Connection CxNordaPavrel;
    Connection CxUlmar;

    SharedQuery Qr_Aux;

    StoredProc sp_KVR_ConsultaCatInventarioConteo;
    StoredProc sp_KVR_ConsultaCatLocalidad;
    StoredProc sp_KVR_ScaneoInventarioDet;
    StoredProc sp_KVR_ObtieneIDProducto;
    StoredProc sp_KVR_ConsultaCatAlmacen;
    StoredProc sp_KVR_ScaneoInventarioRegConteo;
    StoredProc sp_KVR_ScaneoInventarioRegConteoEdit;
    StoredProc sp_KVR_ScaneoSalidaObtieneIdProducto;
};

// The one instance for the run (set by its constructor, cleared by its destructor).
extern TDm_Velmor* Dm_Velmor;
