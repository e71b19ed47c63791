/* Context save and restore for user-mode threads (System V x86-64). */
    .text

/* void mosJmp_Switch(MosJmpBuf *pFrom, const MosJmpBuf *pTo)

   The one stack switch of the uthreads. Saves the caller's context into pFrom (none when pFrom
   is null: the leaving side never continues) and continues pTo's. A context saved here resumes
   by returning from its own call of this function, so every switch is one call on the leaving
   stack and one return on the entered one: the processor's return-address predictions stay in
   step, and where both sides switched from the same call chain they are even right. The resume
   address is also written into the entered stack's top word, which lets a hand-built entry
   context (a fresh stack) start anywhere. */
    .globl mosJmp_Switch
    .type mosJmp_Switch, @function
mosJmp_Switch:
    .cfi_startproc
    testq %rdi, %rdi
    jz 1f
    movq (%rsp), %rax
    movq %rsp, 0(%rdi)
    movq %rbp, 8(%rdi)
    movq %rax, 16(%rdi)
    movq %rbx, 24(%rdi)
    movq %r12, 32(%rdi)
    movq %r13, 40(%rdi)
    movq %r14, 48(%rdi)
    movq %r15, 56(%rdi)
1:
    movq 0(%rsi), %rsp
    movq 8(%rsi), %rbp
    movq 24(%rsi), %rbx
    movq 32(%rsi), %r12
    movq 40(%rsi), %r13
    movq 48(%rsi), %r14
    movq 56(%rsi), %r15
    movq 16(%rsi), %rax
    movq %rax, (%rsp)
    ret
    .cfi_endproc
    .size mosJmp_Switch, .-mosJmp_Switch

/* Entered by a switch whose stack word sits 8 bytes below a 16-byte boundary, so that the
   call below sees the stack alignment that the ABI requires. The entry context carries the
   uthread's record in rbx. */
    .globl mosJmp_NewStackEntry
    .type mosJmp_NewStackEntry, @function
mosJmp_NewStackEntry:
    .cfi_startproc
    .cfi_undefined rip
    movq %rbx, %rdi
    xorl %ebp, %ebp
    call mosUmt_StartFunc
    ud2
    .cfi_endproc
    .size mosJmp_NewStackEntry, .-mosJmp_NewStackEntry

    .section .note.GNU-stack,"",@progbits
