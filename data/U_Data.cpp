// The data module's components with their settings. It holds no logic of its
// own: the connections, the shared query and the procedure components do.
#include "data/U_Data.h"

TDm_Velmor* Dm_Velmor = nullptr;

namespace
{

using P = StoredProc::Param;
using T = StoredProc::Type;
using D = StoredProc::Direction;

P integer(const char* name, D direction = D::Input)
{
    return P{QString::fromLatin1(name), T::Integer, 10, direction, true};
}
P boolean(const char* name)
{
    return P{QString::fromLatin1(name), T::Boolean, 0, D::Input, true};
}
P string(const char* name, int size, D direction = D::Input, bool nullable = true)
{
    return P{QString::fromLatin1(name), T::String, size, direction, nullable};
}

QList<P> regConteoParams()
{
    return {integer("@id_personausuario"), integer("@id_estatus"), string("@inv_referencia", 30),
            integer("@Error", D::InOut), string("@ErrorDescripcion", 500, D::InOut)};
}

} // namespace

TDm_Velmor::TDm_Velmor(const ConnectionSettings& settings, QObject* parent)
    : QObject(parent), Cx(QStringLiteral("Cx"), QStringLiteral("KV_NORDA_PREVENTA")),
      CxNordaPavrel(QStringLiteral("CxNordaPavrel"), QStringLiteral("KV_NORDAPAVREL")),
      CxUlmar(QStringLiteral("CxUlmar"), QStringLiteral("KV_ULMAR")),
      sp_KVR_ConsultaCatInventarioConteo(QStringLiteral("sp_KVR_ConsultaCatInventarioConteo"),
                                         {integer("@Estatus")}),
      sp_KVR_ConsultaCatLocalidad(
          QStringLiteral("sp_KVR_ConsultaCatLocalidad"),
          {boolean("@ParaCombo"), integer("@id_almacen"), string("@Descripcion", 50)}),
      sp_KVR_ScaneoInventarioDet(QStringLiteral("sp_KVR_ScaneoInventarioDet"),
                                 {integer("@id_personausuario"), integer("@id_inventarioconteo"),
                                  string("@NombreAlmacen", 0), string("@id_localidad", 30),
                                  integer("@id_producto"), string("@serie", 0, D::Input, false),
                                  string("@lote", 0, D::Input, false), integer("@IndCantidad"),
                                  integer("@Error", D::InOut),
                                  string("@ErrorDescripcion", 500, D::InOut)}),
      sp_KVR_ObtieneIDProducto(
          QStringLiteral("sp_KVR_ObtieneIDProducto"),
          {string("@Serie", 30), P{QStringLiteral("@id_producto"), T::Decimal, 9, D::InOut, true}}),
      sp_KVR_ConsultaCatAlmacen(QStringLiteral("sp_KVR_ConsultaCatAlmacen"),
                                {boolean("@ParaCombo"), integer("@id_almacen"),
                                 string("@Descripcion", 50), integer("@ID_PersonaUsuario"),
                                 integer("@ID_Roll")}),
      sp_KVR_ScaneoInventarioRegConteo(QStringLiteral("sp_KVR_ScaneoInventarioRegConteo"),
                                       regConteoParams()),
      sp_KVR_ScaneoInventarioRegConteoEdit(QStringLiteral("sp_KVR_ScaneoInventarioRegConteoEdit"),
                                           regConteoParams()),
      sp_KVR_ScaneoSalidaObtieneIdProducto(
          QStringLiteral("sp_KVR_ScaneoSalidaObtieneIdProducto"),
          {string("@prd_ClaveProducto", 10), integer("@id_producto", D::InOut)})
{
    for (Connection* c : {&Cx, &CxNordaPavrel, &CxUlmar})
        c->configure(settings);
    Qr_Aux.setConnection(Cx);
    for (StoredProc* sp :
         {&sp_KVR_ConsultaCatInventarioConteo, &sp_KVR_ConsultaCatLocalidad,
          &sp_KVR_ScaneoInventarioDet, &sp_KVR_ObtieneIDProducto, &sp_KVR_ConsultaCatAlmacen,
          &sp_KVR_ScaneoInventarioRegConteo, &sp_KVR_ScaneoInventarioRegConteoEdit,
          &sp_KVR_ScaneoSalidaObtieneIdProducto})
        sp->setConnection(Cx);
    // The main connection opens now; the client ones wait for their first command.
    Cx.ensureOpen();
    Dm_Velmor = this;
}

TDm_Velmor::~TDm_Velmor()
{
    if (Dm_Velmor == this)
        Dm_Velmor = nullptr;
}
