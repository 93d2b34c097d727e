// Storage for the platform ids the simulation compares against. initguid.h
// goes first, so that every header below defines its ids here.
#include <initguid.h>

#include <windows.h>
#include <devguid.h>
#include <netcfgx.h>
#include <unknwn.h>
