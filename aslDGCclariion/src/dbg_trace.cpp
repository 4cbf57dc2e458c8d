// Debug trace log. (Placeholder bodies; filled in by the owning change.)
#include "zkDGCclariion.h"

extern "C" {

int DbgFd = -1;

void OpenDbgTempFile(void) {}
void CloseDbgTempFile(void) {}
void xDbgPrint(int level, const char *text) { (void)level; (void)text; }
void xDbgDumpBuf(const char *title, const void *buffer, int length)
{
    (void)title; (void)buffer; (void)length;
}

}  // extern "C"
