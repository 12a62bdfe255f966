// IDispatch over member tables: names to DISPIDs, and Invoke by calling the
// member's vtable slot with its arguments converted to the slot's types.
#include <strings.h>

#include <cstring>

#include "win32.h"

#if !defined(__x86_64__) && !defined(__aarch64__)
#error "platform_dispatch_invoke knows the calling convention of x86-64 and AArch64 only"
#endif

namespace {

// Integer and pointer arguments travel in general registers (then on the
// stack, one 8-byte slot each, in order), floats in vector registers, each
// sequence on its own. So one call with enough of both reaches any method
// whose parameters are integers, pointers and at most 8 floats: the method
// reads the ones it has.
#define N_INT_ARGS (PLATFORM_DISPATCH_MAX_PARAMS + 1)
#define N_FLOAT_ARGS 8
typedef HRESULT (*AnySlot)(void *, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                           uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                           float, float, float, float, float, float, float, float);

HRESULT call_slot(void *object, int slot, const uintptr_t *ints, const float *floats) {
  void *const *vtable = *static_cast<void *const *const *>(object);
  AnySlot f;
  void *entry = vtable[slot];
  memcpy(&f, &entry, sizeof f);
  return f(object, ints[0], ints[1], ints[2], ints[3], ints[4], ints[5], ints[6], ints[7], ints[8],
           ints[9], ints[10], floats[0], floats[1], floats[2], floats[3], floats[4], floats[5],
           floats[6], floats[7]);
}

bool kind_matches(WORD kind, WORD flags) {
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) return kind == DISPATCH_PROPERTYPUT;
  return (flags & kind) != 0;
}

VARTYPE base_type(VARTYPE vt) { return static_cast<VARTYPE>(vt & ~VT_BYREF); }

}  // namespace

HRESULT platform_dispatch_get_ids(const DispatchTable &table, LPOLESTR *names, UINT count,
                                  DISPID *ids) {
  if (names == nullptr || ids == nullptr) return E_INVALIDARG;
  if (count == 0) return S_OK;
  HRESULT hr = S_OK;
  std::string name = platform_bstr_to_utf8(names[0]);
  ids[0] = DISPID_UNKNOWN;
  for (size_t i = 0; i < table.count; ++i)
    if (strcasecmp(table.members[i].name, name.c_str()) == 0) {
      ids[0] = table.members[i].dispid;
      break;
    }
  if (ids[0] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  for (UINT i = 1; i < count; ++i) {
    ids[i] = DISPID_UNKNOWN;  // parameter names are not known
    hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT platform_dispatch_invoke(const DispatchTable &table, void *object, DISPID id, WORD flags,
                                 DISPPARAMS *params, VARIANT *result, EXCEPINFO *excepinfo,
                                 UINT *arg_error) {
  if (object == nullptr || params == nullptr) return E_INVALIDARG;
  const DispatchMember *member = nullptr;
  for (size_t i = 0; i < table.count && member == nullptr; ++i) {
    if (table.members[i].dispid != id) continue;
    if (kind_matches(table.members[i].kind, flags)) member = &table.members[i];
  }
  if (member == nullptr) return DISP_E_MEMBERNOTFOUND;  // unknown id or wrong kind
  if (member->kind == DISPATCH_PROPERTYPUT) {
    if (params->cNamedArgs != 1 || params->rgdispidNamedArgs == nullptr ||
        params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
      return params->cNamedArgs == 0 ? DISP_E_PARAMNOTOPTIONAL : DISP_E_NONAMEDARGS;
  } else if (params->cNamedArgs != 0) {
    return DISP_E_NONAMEDARGS;
  }
  if (params->cArgs != static_cast<UINT>(member->n_params))
    return params->cArgs < static_cast<UINT>(member->n_params) ? DISP_E_PARAMNOTOPTIONAL
                                                               : DISP_E_BADPARAMCOUNT;
  if (params->cArgs > 0 && params->rgvarg == nullptr) return E_INVALIDARG;

  uintptr_t ints[N_INT_ARGS] = {};
  float floats[N_FLOAT_ARGS] = {};
  int n_ints = 0, n_floats = 0;
  VARIANT converted[PLATFORM_DISPATCH_MAX_PARAMS];
  for (VARIANT &v : converted) VariantInit(&v);
  struct Cleanup {
    VARIANT *v;
    ~Cleanup() {
      for (int i = 0; i < PLATFORM_DISPATCH_MAX_PARAMS; ++i) VariantClear(&v[i]);
    }
  } cleanup{converted};

  for (int i = 0; i < member->n_params; ++i) {
    UINT arg_index = params->cArgs - 1 - static_cast<UINT>(i);
    VARIANT &arg = params->rgvarg[arg_index];
    VARTYPE want = member->params[i];
    if (want & VT_BYREF) {
      void *ref = nullptr;
      if (arg.vt == want) {
        ref = arg.byref;
      } else if (arg.vt == (VT_VARIANT | VT_BYREF) && arg.pvarVal != nullptr) {
        // A script's variable: converted in place to the parameter's type.
        VARIANT *inner = arg.pvarVal;
        if (inner->vt == VT_EMPTY) {
          // An unassigned variable for an [out] parameter: zero or null.
          VariantInit(inner);
          inner->vt = base_type(want);
        } else if (inner->vt != base_type(want)) {
          HRESULT hr = VariantChangeType(inner, inner, 0, base_type(want));
          if (FAILED(hr)) {
            if (arg_error) *arg_error = arg_index;
            return DISP_E_TYPEMISMATCH;
          }
        }
        ref = &inner->lVal;  // the union's address, whatever the type
      }
      if (ref == nullptr) {
        if (arg_error) *arg_error = arg_index;
        return DISP_E_TYPEMISMATCH;
      }
      ints[n_ints++] = reinterpret_cast<uintptr_t>(ref);
      continue;
    }
    HRESULT hr = VariantChangeType(&converted[i], &arg, 0, want);
    if (FAILED(hr)) {
      if (arg_error) *arg_error = arg_index;
      return hr == DISP_E_OVERFLOW ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH;
    }
    switch (want) {
      case VT_R4:
        if (n_floats == N_FLOAT_ARGS) return E_UNEXPECTED;
        floats[n_floats++] = converted[i].fltVal;
        break;
      case VT_I4:
      case VT_INT:
      case VT_UI4:
        ints[n_ints++] = static_cast<uintptr_t>(static_cast<intptr_t>(converted[i].lVal));
        break;
      case VT_I2:
        ints[n_ints++] = static_cast<uintptr_t>(static_cast<intptr_t>(converted[i].iVal));
        break;
      case VT_BOOL:
        ints[n_ints++] = static_cast<uintptr_t>(static_cast<intptr_t>(converted[i].boolVal));
        break;
      case VT_BSTR:
        ints[n_ints++] = reinterpret_cast<uintptr_t>(converted[i].bstrVal);
        break;
      default:
        return DISP_E_BADVARTYPE;  // a table entry this call cannot pass
    }
  }
  VARIANT ret;
  VariantInit(&ret);
  if (member->retval != VT_EMPTY) {
    ret.vt = member->retval;
    ints[n_ints++] = reinterpret_cast<uintptr_t>(&ret.lVal);
  }
  HRESULT hr = call_slot(object, member->slot, ints, floats);
  if (FAILED(hr)) {
    if (member->retval == VT_BSTR) SysFreeString(ret.bstrVal);
    if (excepinfo != nullptr) {
      memset(excepinfo, 0, sizeof *excepinfo);
      excepinfo->scode = hr;
    }
    return DISP_E_EXCEPTION;
  }
  if (member->retval != VT_EMPTY) {
    if (result != nullptr) {
      VariantClear(result);
      *result = ret;
    } else {
      VariantClear(&ret);
    }
  } else if (result != nullptr) {
    VariantClear(result);
  }
  return hr;
}
