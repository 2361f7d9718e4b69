/* The part of QEMU's plugin interface (QEMU 7.2, version 1) that vantle's
 * plugin uses: no header of it is packaged, and the emulator exports these
 * calls itself. */
#ifndef VANTLE_PLUGIN_QEMU_API_H_
#define VANTLE_PLUGIN_QEMU_API_H_

#include <stddef.h>
#include <stdint.h>

typedef uint64_t qemu_plugin_id_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
typedef void (*trans_cb)(qemu_plugin_id_t, struct qemu_plugin_tb *);
typedef void (*vcpu_cb)(qemu_plugin_id_t, unsigned int vcpu_index);
typedef void (*exec_cb)(unsigned int vcpu_index, void *userdata);
typedef void (*mem_cb)(unsigned int vcpu_index, uint32_t meminfo,
                       uint64_t vaddr, void *userdata);
typedef void (*exit_cb)(qemu_plugin_id_t, void *userdata);
typedef void (*syscall_cb)(qemu_plugin_id_t, unsigned int vcpu_index,
                           int64_t number, uint64_t, uint64_t, uint64_t,
                           uint64_t, uint64_t, uint64_t, uint64_t, uint64_t);
typedef void (*syscall_return_cb)(qemu_plugin_id_t, unsigned int vcpu_index,
                                  int64_t number, int64_t result);
struct qemu_info {
  const char *target_name; /* the first field of QEMU's qemu_info_t */
};
enum { CB_NO_REGS = 0, MEM_READ_WRITE = 3 };

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t, trans_cb);
void qemu_plugin_register_vcpu_init_cb(qemu_plugin_id_t, vcpu_cb);
void qemu_plugin_register_vcpu_exit_cb(qemu_plugin_id_t, vcpu_cb);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *);
struct qemu_plugin_insn *qemu_plugin_tb_get_insn(const struct qemu_plugin_tb *,
                                                 size_t);
uint64_t qemu_plugin_insn_vaddr(const struct qemu_plugin_insn *);
const void *qemu_plugin_insn_data(const struct qemu_plugin_insn *);
size_t qemu_plugin_insn_size(const struct qemu_plugin_insn *);
void qemu_plugin_register_vcpu_insn_exec_cb(struct qemu_plugin_insn *,
                                            exec_cb, int flags, void *);
void qemu_plugin_register_vcpu_tb_exec_cb(struct qemu_plugin_tb *, exec_cb,
                                          int flags, void *);
void qemu_plugin_register_vcpu_mem_cb(struct qemu_plugin_insn *, mem_cb,
                                      int flags, int rw, void *);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t, exit_cb, void *);
void qemu_plugin_register_vcpu_syscall_cb(qemu_plugin_id_t, syscall_cb);
void qemu_plugin_register_vcpu_syscall_ret_cb(qemu_plugin_id_t,
                                              syscall_return_cb);
_Bool qemu_plugin_mem_is_store(uint32_t meminfo);
/* The guest program's path, in memory the caller frees. */
const char *qemu_plugin_path_to_binary(void);
uint64_t qemu_plugin_start_code(void);

#endif /* VANTLE_PLUGIN_QEMU_API_H_ */
