/* Counts the guest instructions a program executes under qemu-user, for
 * bench/instruction-counts: every translated block adds its instruction
 * count to one total each time it runs (an inline add, no call out), and the
 * total is written at exit to the file named by out=PATH (stderr without).
 *
 * Only the handful of plugin entry points used here are declared, as the
 * plugin interface documents them for API version 1 (what Debian 12's
 * qemu-user 7.2 loads), since Debian ships no header for it. The inline add is not atomic: the program
 * measured must run one thread, and the line written says how many vCPUs
 * (threads) there were, so a caller can refuse a count taken with more. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef uint64_t plugin_id;
struct qemu_plugin_tb;
struct qemu_info;

enum { INLINE_ADD_U64 = 0 };

typedef void (*tb_trans_cb)(plugin_id id, struct qemu_plugin_tb* tb);
typedef void (*udata_cb)(plugin_id id, void* userdata);
typedef void (*vcpu_cb)(plugin_id id, unsigned int vcpu_index);

extern void qemu_plugin_register_vcpu_tb_trans_cb(plugin_id id, tb_trans_cb cb);
extern void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb* tb, int op, void* ptr, uint64_t imm);
extern size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb* tb);
extern void qemu_plugin_register_atexit_cb(plugin_id id, udata_cb cb, void* userdata);
extern void qemu_plugin_register_vcpu_init_cb(plugin_id id, vcpu_cb cb);

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

static uint64_t executed;
static unsigned int vcpus;
static char out_path[4096];

static void on_translate(plugin_id id, struct qemu_plugin_tb* tb)
{
    (void)id;
    qemu_plugin_register_vcpu_tb_exec_inline(tb, INLINE_ADD_U64, &executed, qemu_plugin_tb_n_insns(tb));
}

static void on_vcpu(plugin_id id, unsigned int vcpu_index)
{
    (void)id;
    (void)vcpu_index;
    __atomic_add_fetch(&vcpus, 1, __ATOMIC_RELAXED);
}

static void write_total(plugin_id id, void* userdata)
{
    (void)id;
    (void)userdata;
    FILE* f = out_path[0] ? fopen(out_path, "w") : stderr;
    if (!f)
        return;
    fprintf(f, "instructions %llu vcpus %u\n", (unsigned long long)executed, vcpus);
    if (f != stderr)
        fclose(f);
}

__attribute__((visibility("default"))) int qemu_plugin_install(plugin_id id, const struct qemu_info* info, int argc,
                                                               char** argv)
{
    (void)info;
    for (int i = 0; i < argc; ++i) {
        if (strncmp(argv[i], "out=", 4) == 0 && strlen(argv[i] + 4) < sizeof out_path) {
            strcpy(out_path, argv[i] + 4);
        } else {
            fprintf(stderr, "insn_count: unknown argument %s\n", argv[i]);
            return -1;
        }
    }
    qemu_plugin_register_vcpu_init_cb(id, on_vcpu);
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
    qemu_plugin_register_atexit_cb(id, write_total, NULL);
    return 0;
}
