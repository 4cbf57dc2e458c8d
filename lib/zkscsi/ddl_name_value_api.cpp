// Guarded blocks, pair strings and pair lists. (Placeholder bodies; filled in by the owning change.)
#include "zkDGCclariion.h"

extern "C" {

void *nv_alloc(size_t size) { (void)size; return nullptr; }
void nv_free(void *block) { (void)block; }
int nv_set_value(char **pair_out, const char *name, const char *value)
{
    (void)pair_out; (void)name; (void)value;
    return -1;
}
int nv_set_mult_value(char **pair_out, const char *name, ...) { (void)pair_out; (void)name; return -1; }
int nv_append_value(char **pair_out, const char *pair, ...) { (void)pair_out; (void)pair; return -1; }
int nv_get_name(const char *pair, char **name_out) { (void)pair; (void)name_out; return -1; }
int nv_get_value(const char *pair, char ***values_out) { (void)pair; (void)values_out; return -1; }
int nv_create_list(char ***list_out, ...) { (void)list_out; return -1; }
int nv_append_list(char ***list_out, char *const *list, ...) { (void)list_out; (void)list; return -1; }
void nv_print(char *const *list) { (void)list; }

}  // extern "C"
