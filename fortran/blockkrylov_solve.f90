! blockkrylov_solve - whole solves of A X = B from Fortran, through the host
! library (include/blockkrylov_host.h, libblockkrylov_host).
!
! Two layers:
!   * bind(C) mirrors of the host library's structs (bk_options, bk_report,
!     bk_progress, bk_operator, bk_preconditioner), its constants and its
!     functions, under their C names, for callers who want every option
!     (progress callbacks, history, the two-sided starting block, reusable
!     solver objects);
!   * solve and solve_csr, which take Fortran arrays and keyword options,
!     check what the C side cannot see (array extents), fill the structs and
!     return the status code with optional residuals, counts and message.
!
! solve takes A (and A^T for the two-sided method) as a procedure with the
! interface bk_apply: y(:, 1:k) = A x(:, 1:k), x and y n x k. The library calls
! it through one bind(C) trampoline whose context points at a derived type
! local to the solve call that holds the procedure pointer; no module variable
! is involved, so solves may be nested (a solve inside an operator) and may
! run on several OpenMP threads at once. Preconditioner solves given as
! procedures (minv, or the factors m1inv, m2inv) go through the same
! trampoline, each with a context of its own in the same call.
module blockkrylov_solve
  use, intrinsic :: iso_c_binding, only: c_int32_t, c_int64_t, c_double, c_double_complex, &
      c_char, c_ptr, c_funptr, c_null_ptr, c_null_funptr, c_null_char, c_loc, c_funloc, c_f_pointer, &
      c_associated, c_sizeof
  use, intrinsic :: ieee_arithmetic, only: ieee_value, ieee_quiet_nan
  implicit none
  private

  ! ------------------------------------------------------------ constants

  integer(c_int32_t), parameter, public :: BK_AUTO = 0, BK_SYMMETRIC = 1, BK_QMR = 2, BK_GMRES = 3

  integer(c_int32_t), parameter, public :: BK_INVALID = -1, BK_CONVERGED = 0, BK_MAX_PRODUCTS = 1, &
      BK_BREAKDOWN = 2, BK_STAGNATED = 3, BK_STOPPED = 4, BK_MAX_ITERATIONS = 5

  ! Stock preconditioners built by bk_solve_csr (bk_options%precond).
  integer(c_int32_t), parameter, public :: BK_PRECOND_NONE = 0, BK_PRECOND_JACOBI = 1, &
      BK_PRECOND_SSOR = 2, BK_PRECOND_IC0 = 3, BK_PRECOND_ICT = 4, BK_PRECOND_ILU0 = 5, &
      BK_PRECOND_ILUT = 6, BK_PRECOND_AUTO = 7

  ! ---------------------------------------------------- structs (bind(C))

  ! apply(ctx, k, x, y): y(:, 1:k) = Op x(:, 1:k), n x k blocks, leading dimension n.
  type, bind(C), public :: bk_operator
    type(c_funptr) :: apply
    type(c_ptr) :: ctx
  end type bk_operator

  ! M = M1 M2 by the solves with its factors: left = M1^-1, right = M2^-1,
  ! left_t and right_t their plain transposes (qmr). An operator with a null
  ! apply is the identity. symmetric = 1: M2 = M1^T (needed by the symmetric
  ! method). gmres applies M^-1 = right(left(x)) as a right preconditioner.
  type, bind(C), public :: bk_preconditioner
    type(bk_operator) :: left
    type(bk_operator) :: right
    type(bk_operator) :: left_t
    type(bk_operator) :: right_t
    integer(c_int32_t) :: symmetric
    integer(c_int32_t) :: reserved0
  end type bk_preconditioner

  type, bind(C), public :: bk_progress
    integer(c_int32_t) :: method
    integer(c_int32_t) :: predicted
    integer(c_int64_t) :: iteration
    integer(c_int64_t) :: products
    real(c_double) :: estimate
    real(c_double) :: percent
    integer(c_int32_t) :: block      ! block of columns being solved, 1 .. blocks
    integer(c_int32_t) :: blocks
  end type bk_progress

  ! Fill with bk_options_init before setting fields.
  type, bind(C), public :: bk_options
    integer(c_int32_t) :: size
    integer(c_int32_t) :: method
    integer(c_int32_t) :: block_size
    integer(c_int32_t) :: restart
    real(c_double) :: rtol
    real(c_double) :: atol
    integer(c_int64_t) :: max_products
    integer(c_int64_t) :: max_iterations
    real(c_double) :: deflation_tol
    integer(c_int32_t) :: max_breakdowns
    integer(c_int32_t) :: reserved0
    type(c_funptr) :: progress        ! integer(c_int) function(ctx, p) bind(C), or null
    type(c_ptr) :: progress_ctx
    type(c_ptr) :: left_start         ! complex n x nrhs, or null
    type(c_ptr) :: preconditioner     ! bk_preconditioner, or null
    ! bk_solve_csr: a stock preconditioner, built from A or from the matrix
    ! below when precond_rowptr is not null (same order and base as A).
    integer(c_int32_t) :: precond     ! BK_PRECOND_NONE (default) ... BK_PRECOND_AUTO
    integer(c_int32_t) :: reserved1
    real(c_double) :: omega           ! SSOR relaxation in (0, 2)
    real(c_double) :: drop_tol        ! ICT, ILUT
    real(c_double) :: fill            ! ICT, ILUT: entries kept per row, times those of A
    type(c_ptr) :: precond_rowptr     ! int64, n + 1
    type(c_ptr) :: precond_colind     ! int32
    type(c_ptr) :: precond_values     ! complex
    integer(c_int32_t) :: threads     ! OpenMP threads of the solve; 0: the caller's setting
    integer(c_int32_t) :: reserved2   ! zero
  end type bk_options

  ! Fill with bk_report_init, then point residuals/history at arrays of your own.
  type, bind(C), public :: bk_report
    integer(c_int32_t) :: size
    integer(c_int32_t) :: status
    integer(c_int32_t) :: method
    integer(c_int32_t) :: converged
    integer(c_int64_t) :: iterations
    integer(c_int64_t) :: products
    integer(c_int32_t) :: restarts
    integer(c_int32_t) :: breakdowns
    integer(c_int32_t) :: blocks
    integer(c_int32_t) :: block_size
    real(c_double) :: max_residual
    type(c_ptr) :: residuals
    type(c_ptr) :: history
    integer(c_int64_t) :: history_capacity
    integer(c_int64_t) :: history_length
    character(kind=c_char) :: message(512)   ! NUL-terminated; see report_message
    character(kind=c_char) :: preconditioner(64)   ! NUL-terminated; see report_preconditioner
    real(c_double) :: setup_seconds
  end type bk_report

  ! ------------------------------------------------------ host functions

  public :: bk_options_init, bk_report_init, bk_options_init_sized, bk_report_init_sized
  public :: bk_solve, bk_solve_csr
  public :: bk_solver_create, bk_solver_destroy, bk_solver_solve, bk_solver_check
  public :: bk_status_name, bk_method_name

  interface

    ! Fill the first `size` bytes of the struct; bk_options_init and
    ! bk_report_init below pass the size of this module's types.
    subroutine bk_options_init_sized(options, size) bind(C, name="bk_options_init_sized")
      import :: bk_options, c_int32_t
      type(bk_options), intent(inout) :: options
      integer(c_int32_t), value :: size
    end subroutine bk_options_init_sized

    subroutine bk_report_init_sized(report, size) bind(C, name="bk_report_init_sized")
      import :: bk_report, c_int32_t
      type(bk_report), intent(inout) :: report
      integer(c_int32_t), value :: size
    end subroutine bk_report_init_sized

    ! At, options and report may be absent (null).
    function bk_solve(n, nrhs, A, At, B, ldb, X, ldx, options, report) result(status) &
        bind(C, name="bk_solve")
      import :: c_int32_t, c_double_complex, bk_operator, bk_options, bk_report
      integer(c_int32_t), value :: n, nrhs, ldb, ldx
      type(bk_operator), intent(in) :: A
      type(bk_operator), intent(in), optional :: At
      complex(c_double_complex), intent(in) :: B(*)
      complex(c_double_complex), intent(inout) :: X(*)
      type(bk_options), intent(in), optional :: options
      type(bk_report), intent(inout), optional :: report
      integer(c_int32_t) :: status
    end function bk_solve

    function bk_solve_csr(n, rowptr, colind, values, base, nrhs, B, ldb, X, ldx, options, report) &
        result(status) bind(C, name="bk_solve_csr")
      import :: c_int32_t, c_int64_t, c_double_complex, bk_options, bk_report
      integer(c_int32_t), value :: n, base, nrhs, ldb, ldx
      integer(c_int64_t), intent(in) :: rowptr(*)
      integer(c_int32_t), intent(in) :: colind(*)
      complex(c_double_complex), intent(in) :: values(*), B(*)
      complex(c_double_complex), intent(inout) :: X(*)
      type(bk_options), intent(in), optional :: options
      type(bk_report), intent(inout), optional :: report
      integer(c_int32_t) :: status
    end function bk_solve_csr

    ! Null (c_associated false) when the arguments cannot work; bk_solver_check says why.
    function bk_solver_create(method, n, block_size, options) result(solver) &
        bind(C, name="bk_solver_create")
      import :: c_int32_t, c_ptr, bk_options
      integer(c_int32_t), value :: method, n, block_size
      type(bk_options), intent(in), optional :: options
      type(c_ptr) :: solver
    end function bk_solver_create

    subroutine bk_solver_destroy(solver) bind(C, name="bk_solver_destroy")
      import :: c_ptr
      type(c_ptr), value :: solver
    end subroutine bk_solver_destroy

    function bk_solver_solve(solver, A, At, nrhs, B, ldb, X, ldx, report) result(status) &
        bind(C, name="bk_solver_solve")
      import :: c_int32_t, c_ptr, c_double_complex, bk_operator, bk_report
      type(c_ptr), value :: solver
      type(bk_operator), intent(in) :: A
      type(bk_operator), intent(in), optional :: At
      integer(c_int32_t), value :: nrhs, ldb, ldx
      complex(c_double_complex), intent(in) :: B(*)
      complex(c_double_complex), intent(inout) :: X(*)
      type(bk_report), intent(inout), optional :: report
      integer(c_int32_t) :: status
    end function bk_solver_solve

    function bk_solver_check(method, n, block_size, options, report) result(status) &
        bind(C, name="bk_solver_check")
      import :: c_int32_t, bk_options, bk_report
      integer(c_int32_t), value :: method, n, block_size
      type(bk_options), intent(in), optional :: options
      type(bk_report), intent(inout), optional :: report
      integer(c_int32_t) :: status
    end function bk_solver_check

    ! Static NUL-terminated text; status_name and method_name return it as a string.
    function bk_status_name(status) result(name) bind(C, name="bk_status_name")
      import :: c_int32_t, c_ptr
      integer(c_int32_t), value :: status
      type(c_ptr) :: name
    end function bk_status_name

    function bk_method_name(method) result(name) bind(C, name="bk_method_name")
      import :: c_int32_t, c_ptr
      integer(c_int32_t), value :: method
      type(c_ptr) :: name
    end function bk_method_name

  end interface

  ! ------------------------------------------------------ Fortran face

  public :: bk_apply, solve, solve_csr, status_name, method_name, report_message, report_preconditioner

  abstract interface
    ! y(:, 1:k) = A x(:, 1:k); x and y are n x k (k at most the block size).
    ! Preconditioner solves (y = M^-1 x, ...) have the same interface.
    subroutine bk_apply(k, x, y)
      import :: c_double_complex
      integer, intent(in) :: k
      complex(c_double_complex), intent(in) :: x(:, :)
      complex(c_double_complex), intent(out) :: y(:, :)
    end subroutine bk_apply
  end interface

  ! rowptr as integer(c_int64_t) or as default integer.
  interface solve_csr
    module procedure solve_csr64, solve_csr32
  end interface solve_csr

  ! What the trampoline needs: the user's procedure and the order of A.
  type :: apply_context
    procedure(bk_apply), pointer, nopass :: apply => null()
    integer :: n = 0
  end type apply_context

  ! Names of the stock preconditioners; the index is the BK_PRECOND_ code.
  character(*), parameter :: precond_names(0:7) = [character(6) :: 'none', 'jacobi', 'ssor', 'ic0', &
      'ict', 'ilu0', 'ilut', 'auto']

contains

  ! The defaults, written as far as this module's types reach.
  subroutine bk_options_init(options)
    type(bk_options), intent(out) :: options
    call bk_options_init_sized(options, int(c_sizeof(options), c_int32_t))
  end subroutine bk_options_init

  subroutine bk_report_init(report)
    type(bk_report), intent(out) :: report
    call bk_report_init_sized(report, int(c_sizeof(report), c_int32_t))
  end subroutine bk_report_init

  ! The bk_operator%apply of every operator made by solve.
  recursive subroutine apply_trampoline(ctx, k, x, y) bind(C)
    type(c_ptr), value :: ctx
    integer(c_int32_t), value :: k
    type(c_ptr), value :: x, y
    type(apply_context), pointer :: c
    complex(c_double_complex), pointer :: xb(:, :), yb(:, :)
    call c_f_pointer(ctx, c)
    call c_f_pointer(x, xb, [c%n, int(k)])
    call c_f_pointer(y, yb, [c%n, int(k)])
    call c%apply(int(k), xb, yb)
  end subroutine apply_trampoline

  ! Solves A X = B with A given as a procedure (and A^T as `at`, needed by
  ! method 'qmr' only). B and X are n x nrhs; X holds the starting guess and
  ! gets the solution. status is the bk status code (BK_CONVERGED = 0).
  ! A preconditioner is given by its solves, procedures like `a`: either
  ! minv (y = M^-1 x; minv_t = M^-T for qmr), or the factors of M = M1 M2,
  ! m1inv = M1^-1 and m2inv = M2^-1 (m1inv_t, m2inv_t for qmr), with
  ! symmetric_split when M2 = M1^T: the symmetric method needs that, and it
  ! gives qmr the transposes (M1^-T = M2^-1, M2^-T = M1^-1) not passed.
  recursive subroutine solve(a, b, x, status, at, method, rtol, atol, max_products, max_iterations, &
                             restart, block_size, deflation_tol, max_breakdowns, &
                             residuals, iterations, products, message, &
                             minv, minv_t, m1inv, m2inv, m1inv_t, m2inv_t, symmetric_split, threads)
    procedure(bk_apply) :: a
    complex(c_double_complex), intent(in) :: b(:, :)
    complex(c_double_complex), intent(inout) :: x(:, :)
    integer, intent(out) :: status
    procedure(bk_apply), optional :: at
    character(*), intent(in), optional :: method
    real(c_double), intent(in), optional :: rtol, atol, deflation_tol
    integer, intent(in), optional :: max_products, max_iterations, restart, block_size, max_breakdowns
    real(c_double), intent(out), optional :: residuals(:)
    integer(c_int64_t), intent(out), optional :: iterations, products
    character(*), intent(out), optional :: message
    procedure(bk_apply), optional :: minv, minv_t, m1inv, m2inv, m1inv_t, m2inv_t
    logical, intent(in), optional :: symmetric_split
    integer, intent(in), optional :: threads

    ! Contexts of a, at, minv, minv_t, m1inv, m2inv, m1inv_t, m2inv_t.
    type(apply_context), target :: ctx(8)
    type(bk_operator) :: op_a, op_at, none
    type(bk_preconditioner), target :: pre
    type(bk_options) :: opt
    type(bk_report) :: rep
    real(c_double), allocatable, target :: res(:)
    character(:), allocatable :: why
    logical :: split
    integer :: n

    call prepare(b, x, residuals, method, rtol, atol, max_products, max_iterations, restart, &
                 block_size, deflation_tol, max_breakdowns, threads, opt, rep, res, why)
    split = .false.
    if (present(symmetric_split)) split = symmetric_split
    ! With a preconditioner that is not a split M1 M1^T, 'auto' means gmres
    ! (its transposed solves may not be given), or qmr for n = 1, where gmres
    ! cannot run.
    if (opt%method == BK_AUTO .and. (present(minv) .or. present(m1inv) .or. present(m2inv)) .and. .not. split) &
      opt%method = merge(BK_GMRES, BK_QMR, size(b, 1) >= 2)
    if (len(why) == 0) why = preconditioner_why(opt%method, present(minv), present(minv_t), present(m1inv), &
                                               present(m2inv), present(m1inv_t), present(m2inv_t), split)
    if (len(why) == 0) then
      n = size(b, 1)
      op_a = operator_for(ctx(1), a, n)
      if (present(minv) .or. present(m1inv) .or. present(m2inv)) then
        none = bk_operator(c_null_funptr, c_null_ptr)   ! the identity
        pre = bk_preconditioner(none, none, none, none, merge(1_c_int32_t, 0_c_int32_t, split), 0_c_int32_t)
        if (present(minv)) pre%right = operator_for(ctx(3), minv, n)   ! gmres: M^-1 = right(left(x))
        if (present(minv_t)) pre%right_t = operator_for(ctx(4), minv_t, n)
        if (present(m1inv)) pre%left = operator_for(ctx(5), m1inv, n)
        if (present(m2inv)) pre%right = operator_for(ctx(6), m2inv, n)
        if (split) then
          pre%left_t = pre%right
          pre%right_t = pre%left
        end if
        if (present(m1inv_t)) pre%left_t = operator_for(ctx(7), m1inv_t, n)
        if (present(m2inv_t)) pre%right_t = operator_for(ctx(8), m2inv_t, n)
        opt%preconditioner = c_loc(pre)
      end if
      if (present(at)) then
        op_at = operator_for(ctx(2), at, n)
        status = bk_solve(dim32(b, 1), dim32(b, 2), op_a, op_at, b, dim32(b, 1), x, dim32(x, 1), opt, rep)
      else
        status = bk_solve(dim32(b, 1), dim32(b, 2), op_a, B=b, ldb=dim32(b, 1), X=x, ldx=dim32(x, 1), &
                          options=opt, report=rep)
      end if
    end if
    call finish(why, rep, res, status, residuals, iterations, products, message)
  end subroutine solve

  ! A as a 1-based CSR matrix. precond names a stock preconditioner the
  ! library builds from A, or from the matrix p_rowptr, p_colind, p_values
  ! (1-based, order n) when given; preconditioner and setup_seconds say
  ! which one was used and how long building it took.
  recursive subroutine solve_csr64(rowptr, colind, values, b, x, status, method, rtol, atol, &
                                   max_products, max_iterations, restart, block_size, deflation_tol, &
                                   max_breakdowns, residuals, iterations, products, message, &
                                   precond, omega, drop_tol, fill, p_rowptr, p_colind, p_values, &
                                   preconditioner, setup_seconds, threads)
    integer(c_int64_t), intent(in) :: rowptr(:)
    integer(c_int32_t), intent(in) :: colind(:)
    complex(c_double_complex), intent(in) :: values(:), b(:, :)
    complex(c_double_complex), intent(inout) :: x(:, :)
    integer, intent(out) :: status
    character(*), intent(in), optional :: method
    real(c_double), intent(in), optional :: rtol, atol, deflation_tol
    integer, intent(in), optional :: max_products, max_iterations, restart, block_size, max_breakdowns
    real(c_double), intent(out), optional :: residuals(:)
    integer(c_int64_t), intent(out), optional :: iterations, products
    character(*), intent(out), optional :: message
    character(*), intent(in), optional :: precond
    real(c_double), intent(in), optional :: omega, drop_tol, fill
    integer(c_int64_t), intent(in), optional :: p_rowptr(:)
    integer(c_int32_t), intent(in), optional :: p_colind(:)
    complex(c_double_complex), intent(in), optional :: p_values(:)
    character(*), intent(out), optional :: preconditioner
    real(c_double), intent(out), optional :: setup_seconds
    integer, intent(in), optional :: threads

    type(bk_options) :: opt
    type(bk_report) :: rep
    real(c_double), allocatable, target :: res(:)
    character(:), allocatable :: why
    integer(c_int64_t) :: n, nnz
    ! Contiguous copies of the preconditioner matrix, for the pointers in opt.
    integer(c_int64_t), allocatable, target :: prowptr(:)
    integer(c_int32_t), allocatable, target :: pcolind(:)
    complex(c_double_complex), allocatable, target :: pvalues(:)

    call prepare(b, x, residuals, method, rtol, atol, max_products, max_iterations, restart, &
                 block_size, deflation_tol, max_breakdowns, threads, opt, rep, res, why)
    n = size(b, 1, kind=c_int64_t)
    if (len(why) == 0) why = csr_extents(n, rowptr, size(colind, kind=c_int64_t), size(values, kind=c_int64_t), '')
    if (len(why) == 0) call stock_options(precond, omega, drop_tol, fill, n, opt, why)
    if (len(why) == 0 .and. (present(p_rowptr) .or. present(p_colind) .or. present(p_values))) then
      if (.not. (present(p_rowptr) .and. present(p_colind) .and. present(p_values))) then
        why = 'p_rowptr, p_colind and p_values go together'
      else if (opt%precond == BK_PRECOND_NONE) then
        why = 'a preconditioner matrix (p_rowptr, p_colind, p_values) needs precond other than none'
      else
        why = csr_extents(n, p_rowptr, size(p_colind, kind=c_int64_t), size(p_values, kind=c_int64_t), 'p_')
      end if
      if (len(why) == 0) then
        nnz = max(p_rowptr(n + 1) - 1, 0_c_int64_t)   ! the library checks the pointers
        prowptr = p_rowptr
        pcolind = p_colind(1:nnz)
        pvalues = p_values(1:nnz)
        opt%precond_rowptr = c_loc(prowptr)
        ! The library reads no entries of an empty matrix and accepts null for them.
        if (nnz > 0) opt%precond_colind = c_loc(pcolind)
        if (nnz > 0) opt%precond_values = c_loc(pvalues)
      end if
    end if
    if (len(why) == 0) &
      status = bk_solve_csr(dim32(b, 1), rowptr, colind, values, 1_c_int32_t, dim32(b, 2), b, dim32(b, 1), &
                            x, dim32(x, 1), opt, rep)
    call finish(why, rep, res, status, residuals, iterations, products, message)
    ! rep is cleared ('', 0) when the solve did not run.
    if (present(preconditioner)) preconditioner = report_preconditioner(rep)
    if (present(setup_seconds)) setup_seconds = rep%setup_seconds
  end subroutine solve_csr64

  ! The same with a default-integer rowptr (converted to the C side's int64).
  recursive subroutine solve_csr32(rowptr, colind, values, b, x, status, method, rtol, atol, &
                                   max_products, max_iterations, restart, block_size, deflation_tol, &
                                   max_breakdowns, residuals, iterations, products, message, &
                                   precond, omega, drop_tol, fill, p_rowptr, p_colind, p_values, &
                                   preconditioner, setup_seconds, threads)
    integer, intent(in) :: rowptr(:)
    integer(c_int32_t), intent(in) :: colind(:)
    complex(c_double_complex), intent(in) :: values(:), b(:, :)
    complex(c_double_complex), intent(inout) :: x(:, :)
    integer, intent(out) :: status
    character(*), intent(in), optional :: method
    real(c_double), intent(in), optional :: rtol, atol, deflation_tol
    integer, intent(in), optional :: max_products, max_iterations, restart, block_size, max_breakdowns
    real(c_double), intent(out), optional :: residuals(:)
    integer(c_int64_t), intent(out), optional :: iterations, products
    character(*), intent(out), optional :: message
    character(*), intent(in), optional :: precond
    real(c_double), intent(in), optional :: omega, drop_tol, fill
    integer, intent(in), optional :: p_rowptr(:)
    integer(c_int32_t), intent(in), optional :: p_colind(:)
    complex(c_double_complex), intent(in), optional :: p_values(:)
    character(*), intent(out), optional :: preconditioner
    real(c_double), intent(out), optional :: setup_seconds
    integer, intent(in), optional :: threads

    if (present(p_rowptr)) then
      call solve_csr64(int(rowptr, c_int64_t), colind, values, b, x, status, method, rtol, atol, &
                       max_products, max_iterations, restart, block_size, deflation_tol, max_breakdowns, &
                       residuals, iterations, products, message, precond, omega, drop_tol, fill, &
                       int(p_rowptr, c_int64_t), p_colind, p_values, preconditioner, setup_seconds, threads)
    else
      call solve_csr64(int(rowptr, c_int64_t), colind, values, b, x, status, method, rtol, atol, &
                       max_products, max_iterations, restart, block_size, deflation_tol, max_breakdowns, &
                       residuals, iterations, products, message, precond, omega, drop_tol, fill, &
                       p_colind=p_colind, p_values=p_values, preconditioner=preconditioner, &
                       setup_seconds=setup_seconds, threads=threads)
    end if
  end subroutine solve_csr32

  ! Text of a status or method code, e.g. "converged", "gmres".
  recursive function status_name(status) result(name)
    integer, intent(in) :: status
    character(:), allocatable :: name
    name = c_string(bk_status_name(int(status, c_int32_t)))
  end function status_name

  recursive function method_name(method) result(name)
    integer, intent(in) :: method
    character(:), allocatable :: name
    name = c_string(bk_method_name(int(method, c_int32_t)))
  end function method_name

  ! The report's message, and the name of the preconditioner used ('' for
  ! none), as Fortran strings.
  pure recursive function report_message(rep) result(text)
    type(bk_report), intent(in) :: rep
    character(:), allocatable :: text
    text = nul_terminated(rep%message)
  end function report_message

  pure recursive function report_preconditioner(rep) result(text)
    type(bk_report), intent(in) :: rep
    character(:), allocatable :: text
    text = nul_terminated(rep%preconditioner)
  end function report_preconditioner

  ! ------------------------------------------------------------- helpers

  ! Checks the Fortran-side extents and fills options and report. why is
  ! empty when the arrays fit together.
  recursive subroutine prepare(b, x, residuals, method, rtol, atol, max_products, max_iterations, &
                               restart, block_size, deflation_tol, max_breakdowns, threads, opt, rep, res, why)
    complex(c_double_complex), intent(in) :: b(:, :), x(:, :)
    real(c_double), intent(in), optional :: residuals(:)
    character(*), intent(in), optional :: method
    real(c_double), intent(in), optional :: rtol, atol, deflation_tol
    integer, intent(in), optional :: max_products, max_iterations, restart, block_size, max_breakdowns, threads
    type(bk_options), intent(out) :: opt
    type(bk_report), intent(out), target :: rep
    real(c_double), allocatable, target, intent(out) :: res(:)
    character(:), allocatable, intent(out) :: why

    why = ''
    call bk_options_init(opt)
    call bk_report_init(rep)
    if (any(shape(x) /= shape(b))) then
      why = 'x must have the shape of b'
    else if (max(size(b, 1, kind=c_int64_t), size(b, 2, kind=c_int64_t)) > huge(1_c_int32_t)) then
      why = 'b has more rows or columns than a 32-bit count holds'
    else if (present(residuals)) then
      if (size(residuals) < size(b, 2)) why = 'residuals must have room for one value per column of b'
    end if
    if (len(why) > 0) return

    if (present(method)) then
      select case (lower(trim(adjustl(method))))
      case ('auto'); opt%method = BK_AUTO
      case ('symmetric'); opt%method = BK_SYMMETRIC
      case ('qmr'); opt%method = BK_QMR
      case ('gmres'); opt%method = BK_GMRES
      case default
        why = "unknown method '" // trim(method) // "' (auto, symmetric, qmr or gmres)"
        return
      end select
    end if
    if (present(rtol)) opt%rtol = rtol
    if (present(atol)) opt%atol = atol
    if (present(deflation_tol)) opt%deflation_tol = deflation_tol
    if (present(max_products)) opt%max_products = max_products
    if (present(max_iterations)) opt%max_iterations = max_iterations
    if (present(restart)) opt%restart = restart
    if (present(block_size)) opt%block_size = block_size
    if (present(max_breakdowns)) opt%max_breakdowns = max_breakdowns
    if (present(threads)) opt%threads = threads

    if (present(residuals) .and. size(b, 2) > 0) then
      allocate(res(size(b, 2)))
      rep%residuals = c_loc(res)
    end if
  end subroutine prepare

  ! Extents a 1-based CSR matrix of order n needs: the C side reads
  ! rowptr(1:n+1) and rowptr(n+1) - 1 entries of colind and values, and
  ! checks everything else itself. prefix names the arrays ('' or 'p_').
  pure recursive function csr_extents(n, rowptr, ncol, nval, prefix) result(why)
    integer(c_int64_t), intent(in) :: n, ncol, nval
    integer(c_int64_t), intent(in) :: rowptr(:)
    character(*), intent(in) :: prefix
    character(:), allocatable :: why
    why = ''
    if (size(rowptr, kind=c_int64_t) /= n + 1) then
      why = prefix // 'rowptr must have size(b, 1) + 1 entries'
    else if (rowptr(n + 1) - 1 > min(ncol, nval)) then
      why = prefix // 'rowptr(n+1) - 1 exceeds the entries held by ' // prefix // 'colind or ' // prefix // 'values'
    end if
  end function csr_extents

  ! Sets the stock preconditioner named by precond and its settings. A
  ! setting the named one does not use is refused rather than ignored, and so
  ! are ilu0 and ilut with the symmetric method (they are no split M1 M1^T;
  ! with them the library's 'auto' takes qmr).
  pure recursive subroutine stock_options(precond, omega, drop_tol, fill, n, opt, why)
    character(*), intent(in), optional :: precond
    real(c_double), intent(in), optional :: omega, drop_tol, fill
    integer(c_int64_t), intent(in) :: n
    type(bk_options), intent(inout) :: opt
    character(:), allocatable, intent(out) :: why
    integer :: k
    logical :: lu
    why = ''
    k = BK_PRECOND_NONE
    if (present(precond)) k = findloc(precond_names, lower(trim(adjustl(precond))), dim=1) - 1
    lu = k == BK_PRECOND_ILU0 .or. k == BK_PRECOND_ILUT
    if (k < 0) then
      why = "unknown precond '" // trim(precond) // "' (none, jacobi, ssor, ic0, ict, ilu0, ilut or auto)"
    else if (present(omega) .and. k /= BK_PRECOND_SSOR) then
      why = "omega is used by precond='ssor' only"
    else if ((present(drop_tol) .or. present(fill)) .and. k /= BK_PRECOND_ICT .and. k /= BK_PRECOND_ILUT) then
      why = "drop_tol and fill are used by precond='ict' or 'ilut' only"
    else if (opt%method == BK_SYMMETRIC .and. lu) then
      why = "method 'symmetric' needs the split M = M1 M1^T, which " // trim(precond_names(k)) // &
            " is not: use ic0, ict, jacobi or ssor, or method 'qmr' or 'gmres'"
    end if
    if (len(why) > 0) return
    opt%precond = int(k, c_int32_t)
    if (present(omega)) opt%omega = omega
    if (present(drop_tol)) opt%drop_tol = drop_tol
    if (present(fill)) opt%fill = fill
  end subroutine stock_options

  ! Why the preconditioner solves given to solve cannot work together, or
  ! with the method (empty when they can); the library checks the rest.
  pure recursive function preconditioner_why(method, minv, minv_t, m1, m2, m1t, m2t, split) result(why)
    integer(c_int32_t), intent(in) :: method
    logical, intent(in) :: minv, minv_t, m1, m2, m1t, m2t, split
    character(:), allocatable :: why
    why = ''
    if (minv .and. (m1 .or. m2 .or. m1t .or. m2t)) then
      why = 'give minv or the factors m1inv, m2inv, not both'
    else if ((minv_t .and. .not. minv) .or. (m1t .and. .not. m1) .or. (m2t .and. .not. m2)) then
      why = 'minv_t, m1inv_t and m2inv_t need the solve they transpose (minv, m1inv, m2inv)'
    else if (split .and. .not. (m1 .and. m2)) then
      why = 'symmetric_split needs both factors, m1inv and m2inv'
    else if (method == BK_SYMMETRIC .and. (minv .or. m1 .or. m2) .and. .not. split) then
      why = "method 'symmetric' needs the split M = M1 M1^T, which keeps the operator complex-symmetric: " // &
            "m1inv, m2inv and symmetric_split=.true. (minv suits 'gmres', or 'qmr' with minv_t)"
    else if (method == BK_QMR .and. ((minv .and. .not. minv_t) .or. (m1 .and. .not. (m1t .or. split)) .or. &
                                     (m2 .and. .not. (m2t .or. split)))) then
      why = "method 'qmr' needs the plain transposes of the preconditioner's solves (minv_t; m1inv_t, m2inv_t)"
    end if
  end function preconditioner_why

  ! An operator calling proc through the trampoline, with ctx (the caller's
  ! local target, which must outlive the solve) as its context.
  recursive function operator_for(ctx, proc, n) result(op)
    type(apply_context), intent(inout), target :: ctx
    procedure(bk_apply) :: proc
    integer, intent(in) :: n
    type(bk_operator) :: op
    ctx%apply => proc
    ctx%n = n
    op = bk_operator(c_funloc(apply_trampoline), c_loc(ctx))
  end function operator_for

  ! Copies the report into the caller's optional outputs.
  recursive subroutine finish(why, rep, res, status, residuals, iterations, products, message)
    character(*), intent(in) :: why
    type(bk_report), intent(in) :: rep
    real(c_double), intent(in), allocatable :: res(:)
    integer, intent(inout) :: status
    real(c_double), intent(out), optional :: residuals(:)
    integer(c_int64_t), intent(out), optional :: iterations, products
    character(*), intent(out), optional :: message

    if (len(why) > 0) then
      status = BK_INVALID
      if (present(message)) message = 'solve: invalid arguments: ' // why
      if (present(iterations)) iterations = 0
      if (present(products)) products = 0
      if (present(residuals)) residuals = ieee_value(0.0_c_double, ieee_quiet_nan)
      return
    end if
    status = rep%status
    if (present(message)) message = report_message(rep)
    if (present(iterations)) iterations = rep%iterations
    if (present(products)) products = rep%products
    if (present(residuals)) then
      ! The library leaves them unwritten when it refuses the arguments.
      residuals = ieee_value(0.0_c_double, ieee_quiet_nan)
      if (status /= BK_INVALID .and. allocated(res)) residuals(1:size(res)) = res
    end if
  end subroutine finish

  ! The characters up to the first NUL.
  pure recursive function nul_terminated(chars) result(text)
    character(kind=c_char), intent(in) :: chars(:)
    character(:), allocatable :: text
    integer :: i, m
    m = size(chars)
    do i = 1, size(chars)
      if (chars(i) == c_null_char) then
        m = i - 1
        exit
      end if
    end do
    allocate(character(m) :: text)
    do i = 1, m
      text(i:i) = chars(i)
    end do
  end function nul_terminated

  pure recursive integer(c_int32_t) function dim32(a, d)
    complex(c_double_complex), intent(in) :: a(:, :)
    integer, intent(in) :: d
    dim32 = int(size(a, d), c_int32_t)
  end function dim32

  recursive function c_string(p) result(s)
    type(c_ptr), intent(in) :: p
    character(:), allocatable :: s
    character(kind=c_char), pointer :: chars(:)
    integer :: i, m
    if (.not. c_associated(p)) then
      s = ''
      return
    end if
    call c_f_pointer(p, chars, [64])   ! the library's names are short
    m = 0
    do while (m < size(chars))
      if (chars(m + 1) == c_null_char) exit
      m = m + 1
    end do
    allocate(character(m) :: s)
    do i = 1, m
      s(i:i) = chars(i)
    end do
  end function c_string

  pure recursive function lower(s) result(t)
    character(*), intent(in) :: s
    character(len(s)) :: t
    integer :: i, c
    t = s
    do i = 1, len(s)
      c = iachar(s(i:i))
      if (c >= iachar('A') .and. c <= iachar('Z')) t(i:i) = achar(c + 32)
    end do
  end function lower

end module blockkrylov_solve
