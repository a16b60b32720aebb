! Tests of module blockkrylov_solve, in groups:
!   layout   the bind(C) types against what the library writes into them
!   invalid  refused arguments: BK_INVALID, X untouched, a message saying why
!   outputs  a solve ending without convergence; strided sections
!   threads  solves with different operators on two OpenMP threads at once
!   precond  stock preconditioners (solve_csr) and preconditioner procedures
!            (solve), one of them a solve inside the outer solve's callback
module solve_test_support
  use, intrinsic :: iso_c_binding
  use blockkrylov_solve
  implicit none
  integer, parameter :: dp = c_double, n = 120
  ! Tridiagonal matrices as (A(i+1,i), A(i,i), A(i,i+1)), read-only.
  complex(dp), parameter :: helmholtz(3) = [(-1.0_dp, 0.0_dp), (1.7_dp, 0.2_dp), (-1.0_dp, 0.0_dp)]
  complex(dp), parameter :: convection(3) = [(-1.4_dp, 0.0_dp), (2.5_dp, 0.5_dp), (-0.6_dp, 0.1_dp)]
  ! M = L L^T with L lower bidiagonal, L(i,i) = chol_d and L(i,i-1) = chol_m:
  ! the Cholesky factor of the endless tridiagonal matrix helmholtz + 0.2 I,
  ! d^2 + m^2 = t(2) + 0.2 and d m = t(1), complex-symmetric and not exact.
  complex(dp), parameter :: chol_d = sqrt((helmholtz(2) + 0.2_dp + sqrt((helmholtz(2) + 0.2_dp)**2 &
                                          - 4 * helmholtz(1)**2)) / 2), chol_m = helmholtz(1) / chol_d
  integer :: failures = 0, inner_status = -99

  type, bind(C) :: progress_log   ! what the progress callback saw
    integer(c_int32_t) :: calls = 0, bad = 0
    integer(c_int64_t) :: last_products = 0
  end type progress_log

contains

  subroutine expect(ok, label)
    logical, intent(in) :: ok
    character(*), intent(in) :: label
    if (.not. ok) then
      failures = failures + 1
      print '(a)', 'FAILED: ' // label
    end if
  end subroutine expect

  pure subroutine tridiagonal(t, k, x, y)
    complex(dp), intent(in) :: t(3), x(:, :)
    integer, intent(in) :: k
    complex(dp), intent(out) :: y(:, :)
    integer :: c, m
    m = size(x, 1)
    do c = 1, k
      y(:, c) = t(2) * x(:, c)
      y(2:m, c) = y(2:m, c) + t(1) * x(1:m-1, c)
      y(1:m-1, c) = y(1:m-1, c) + t(3) * x(2:m, c)
    end do
  end subroutine tridiagonal

  subroutine apply_h(k, x, y)
    integer, intent(in) :: k
    complex(dp), intent(in) :: x(:, :)
    complex(dp), intent(out) :: y(:, :)
    call tridiagonal(helmholtz, k, x, y)
  end subroutine apply_h

  subroutine apply_c(k, x, y)
    integer, intent(in) :: k
    complex(dp), intent(in) :: x(:, :)
    complex(dp), intent(out) :: y(:, :)
    call tridiagonal(convection, k, x, y)
  end subroutine apply_c

  subroutine apply_ct(k, x, y)
    integer, intent(in) :: k
    complex(dp), intent(in) :: x(:, :)
    complex(dp), intent(out) :: y(:, :)
    call tridiagonal(convection(3:1:-1), k, x, y)
  end subroutine apply_ct

  ! y = A^{-1} x for the helmholtz A, by a solve of its own.
  recursive subroutine apply_h_inverse(k, x, y)
    integer, intent(in) :: k
    complex(dp), intent(in) :: x(:, :)
    complex(dp), intent(out) :: y(:, :)
    y = (0.0_dp, 0.0_dp)
    call solve(apply_h, x(:, 1:k), y(:, 1:k), inner_status, method='gmres', rtol=1.0e-13_dp)
  end subroutine apply_h_inverse

  ! y = L^-1 x and y = L^-T x, by substitution.
  subroutine l_solve(k, x, y)
    integer, intent(in) :: k
    complex(dp), intent(in) :: x(:, :)
    complex(dp), intent(out) :: y(:, :)
    integer :: i
    y(1, 1:k) = x(1, 1:k) / chol_d
    do i = 2, n
      y(i, 1:k) = (x(i, 1:k) - chol_m * y(i - 1, 1:k)) / chol_d
    end do
  end subroutine l_solve

  subroutine lt_solve(k, x, y)
    integer, intent(in) :: k
    complex(dp), intent(in) :: x(:, :)
    complex(dp), intent(out) :: y(:, :)
    integer :: i
    y(n, 1:k) = x(n, 1:k) / chol_d
    do i = n - 1, 1, -1
      y(i, 1:k) = (x(i, 1:k) - chol_m * y(i + 1, 1:k)) / chol_d
    end do
  end subroutine lt_solve

  ! Largest relative residual ||b - A x|| / ||b|| over the columns.
  pure function max_residual(t, b, x) result(r)
    complex(dp), intent(in) :: t(3), b(:, :), x(:, :)
    real(dp) :: r
    complex(dp) :: ax(size(b, 1), size(b, 2))
    call tridiagonal(t, size(b, 2), x, ax)
    r = maxval(norm2(abs(b - ax), dim=1) / norm2(abs(b), dim=1))
  end function max_residual

  ! Checks the fields it is given (GMRES, two blocks); stops at the third call.
  integer(c_int) function on_progress(ctx, p) bind(C)
    type(c_ptr), value :: ctx
    type(bk_progress), intent(in) :: p
    type(progress_log), pointer :: log
    call c_f_pointer(ctx, log)
    log%calls = log%calls + 1
    if (p%method /= BK_GMRES .or. p%iteration < 1 .or. p%products < log%last_products .or. &
        p%block /= 1 .or. p%blocks /= 2 .or. p%percent < 0 .or. p%percent > 100 .or. &
        .not. (p%estimate >= 0)) log%bad = log%bad + 1
    log%last_products = p%products
    on_progress = merge(1, 0, log%calls == 3)
  end function on_progress

end module solve_test_support


program solve_test
  use, intrinsic :: iso_c_binding
  use, intrinsic :: ieee_arithmetic, only: ieee_is_nan
  use blockkrylov_solve
  use solve_test_support
  implicit none

  complex(dp) :: b(n, 2), x(n, 2), x0(n, 2)
  integer(c_int64_t) :: rowptr(n + 1), products
  integer(c_int32_t) :: colind(3 * n - 2)
  complex(dp) :: values(3 * n - 2), values_c(3 * n - 2)   ! helmholtz, convection
  real(dp) :: res(2)
  character(512) :: message
  integer :: i, j, status

  do i = 1, n
    b(i, :) = [cmplx(cos(0.3_dp * i), sin(0.1_dp * i), kind=dp), cmplx(1.0_dp / i, -0.5_dp, kind=dp)]
  end do
  ! 1-based CSR of the tridiagonal matrices, rows with sorted columns.
  rowptr = [1_c_int64_t, (3_c_int64_t * i, i = 1, n - 1), 3_c_int64_t * n - 1]
  colind = [((j, j = max(i - 1, 1), min(i + 1, n)), i = 1, n)]
  values = [((helmholtz(j - i + 2), j = max(i - 1, 1), min(i + 1, n)), i = 1, n)]
  values_c = [((convection(j - i + 2), j = max(i - 1, 1), min(i + 1, n)), i = 1, n)]

  call test_layout()
  call test_invalid()
  call test_outputs()
  call test_threads()
  call test_precond()
  if (failures > 0) then
    print '(a, i0, a)', 'solve_test: ', failures, ' FAILED'
    error stop 1
  end if
  print '(a)', 'solve_test: OK'

contains

  subroutine test_layout()
    type(bk_options) :: opt
    type(bk_report), target :: rep
    type(progress_log), target :: log
    real(dp), target :: history(4), residuals(2)

    ! The library writes its own sizeof into size, then the defaults.
    call bk_options_init(opt)
    call bk_report_init(rep)
    call expect(opt%size == c_sizeof(opt) .and. rep%size == c_sizeof(rep), 'layout: struct sizes')
    call expect(opt%method == BK_AUTO .and. opt%block_size == 0 .and. opt%restart == 0 .and. &
                opt%rtol == 1.0e-8_dp .and. opt%atol == 0 .and. opt%deflation_tol == 1.0e-12_dp .and. &
                opt%max_breakdowns == 10 .and. .not. c_associated(opt%preconditioner) .and. &
                opt%precond == BK_PRECOND_NONE .and. opt%omega == 1 .and. opt%drop_tol == 1.0e-3_dp .and. &
                opt%fill == 5 .and. .not. c_associated(opt%precond_rowptr), 'layout: option defaults')

    ! A raw solve filling the report's arrays, history capacity 3 of 4.
    history = -1
    rep%history = c_loc(history)
    rep%history_capacity = 3
    rep%residuals = c_loc(residuals)
    opt%method = BK_GMRES
    opt%block_size = 2
    x = 0
    status = bk_solve_csr(n, rowptr, colind, values, 1, 2, b, n, x, n, opt, rep)
    call expect(status == BK_CONVERGED .and. rep%status == status .and. rep%converged == 1 .and. &
                rep%method == BK_GMRES .and. rep%blocks == 1 .and. rep%block_size == 2 .and. &
                rep%products > 0 .and. rep%iterations == rep%history_length .and. &
                all(history(1:3) > 0) .and. history(4) == -1 .and. rep%max_residual == maxval(residuals) .and. &
                abs(max_residual(helmholtz, b, x) - rep%max_residual) < 1.0e-10_dp .and. &
                index(report_message(rep), 'converged') > 0, 'layout: report fields')

    ! The progress callback (blocks of one column) sees sane fields and stops the solve.
    opt%progress = c_funloc(on_progress)
    opt%progress_ctx = c_loc(log)
    opt%block_size = 1
    x = 0
    status = bk_solve_csr(n, rowptr, colind, values, 1, 2, b, n, x, n, opt, rep)
    call expect(status == BK_STOPPED .and. log%calls == 3 .and. log%bad == 0, 'layout: bk_progress fields')
  end subroutine test_layout

  subroutine test_invalid()
    character(*), parameter :: cases(22) = [character(30) :: 'x must have the shape', &
        'residuals must have room', 'unknown method', 'A^T', 'nrhs', 'rowptr must have', &
        'exceeds the entries', 'must equal base', 'symmetric_split=.true.', 'plain transposes', &
        'not both', 'unknown precond', 'go together', 'needs precond', 'p_rowptr must have', &
        'used by precond', 'needs the split M = M1 M1^T', 'drop_tol and fill are used', 'need the solve', &
        'needs both factors', 'max_breakdowns must be', 'deflation_tol must be']
    integer(c_int64_t) :: rp(n + 1)
    integer :: c
    do c = 1, size(cases)
      x0 = (7.0_dp, -7.0_dp)
      x = x0
      rp = rowptr
      select case (c)
      case (1); call solve(apply_h, b, x(:, 1:1), status, message=message)
      case (2); call solve(apply_h, b, x, status, residuals=res(1:1), message=message)
      case (3); call solve(apply_h, b, x, status, method='cg', message=message)
      case (4); call solve(apply_c, b, x, status, method='qmr', message=message)   ! no A^T
      case (5); call solve(apply_h, b(:, 1:0), x(:, 1:0), status, message=message)
      case (6); call solve_csr(rp(1:n), colind, values, b, x, status, message=message)
      case (7)  ! more entries claimed than colind holds, which must not be read
        rp(n + 1) = rp(n + 1) + 5
        call solve_csr(rp, colind, values, b, x, status, message=message)
      case (8); call solve_csr(rp - 1, colind - 1, values, b, x, status, message=message)  ! 0-based
      case (9); call solve(apply_h, b, x, status, method='symmetric', minv=apply_h, message=message)
      case (10); call solve(apply_h, b, x, status, at=apply_h, method='qmr', minv=apply_h, message=message)
      case (11); call solve(apply_h, b, x, status, minv=apply_h, m1inv=l_solve, message=message)
      case (12); call solve_csr(rp, colind, values, b, x, status, precond='ilu', message=message)
      case (13); call solve_csr(rp, colind, values, b, x, status, precond='ilu0', p_rowptr=rp, message=message)
      case (14)
        call solve_csr(rp, colind, values, b, x, status, p_rowptr=rp, p_colind=colind, p_values=values, &
                       message=message)
      case (15)
        call solve_csr(rp, colind, values, b, x, status, precond='ilu0', p_rowptr=rp(1:n), p_colind=colind, &
                       p_values=values, message=message)
      case (16); call solve_csr(rp, colind, values, b, x, status, precond='ilut', omega=1.5_dp, message=message)
      case (17); call solve_csr(rp, colind, values, b, x, status, method='symmetric', precond='ilut', message=message)
      case (18); call solve_csr(rp, colind, values, b, x, status, precond='ssor', fill=2.0_dp, message=message)
      case (19); call solve(apply_h, b, x, status, minv_t=apply_h, message=message)
      case (20); call solve(apply_h, b, x, status, m1inv=l_solve, symmetric_split=.true., message=message)
      case (21); call solve(apply_h, b, x, status, max_breakdowns=-1, message=message)   ! options reach the
      case (22); call solve(apply_h, b, x, status, method='gmres', deflation_tol=-1.0_dp, message=message) ! engine
      end select
      call expect(status == BK_INVALID .and. all(x == x0) .and. index(message, trim(cases(c))) > 0, &
                  'invalid: ' // trim(cases(c)) // ': status ' // status_name(status) // ', ' // trim(message))
    end do
    res = 0
    call solve(apply_h, b, x, status, method='cg', residuals=res)
    call expect(all(ieee_is_nan(res)), 'invalid: residuals NaN, not stale')
  end subroutine test_invalid

  subroutine test_outputs()
    complex(dp) :: bb(2 * n, 3), xx(2 * n, 3)
    ! Without convergence: the last iterate's true residuals, within the limit.
    x = 0
    call solve(apply_c, b, x, status, at=apply_ct, method='qmr', max_products=40, residuals=res, &
               products=products, message=message)
    call expect(status == BK_MAX_PRODUCTS .and. products <= 40 .and. all(res > 1.0e-8_dp) .and. &
                abs(maxval(res) - max_residual(convection, b, x)) < 1.0e-10_dp, 'outputs: max_products')
    ! Strided sections of B and X; the rows and columns between stay as they were.
    bb = 0
    bb(1::2, 1::2) = b
    xx = (5.0_dp, 5.0_dp)
    xx(1::2, 1::2) = 0
    call solve(apply_h, bb(1::2, 1::2), xx(1::2, 1::2), status, method='symmetric')
    call expect(status == BK_CONVERGED .and. max_residual(helmholtz, b, xx(1::2, 1::2)) <= 1.01e-8_dp .and. &
                all(xx(2::2, :) == (5.0_dp, 5.0_dp)) .and. all(xx(:, 2) == (5.0_dp, 5.0_dp)), &
                'outputs: strided sections')
    ! The options reach the library.
    x = 0
    call solve(apply_h, b, x, status, max_iterations=2, iterations=products)
    call expect(status == BK_MAX_ITERATIONS .and. products == 2, 'outputs: max_iterations')
    x = 0
    call solve(apply_h, b, x, status, atol=1.0e10_dp, products=products)
    call expect(status == BK_CONVERGED .and. products == 0, 'outputs: atol')
  end subroutine test_outputs

  ! Two threads start together and solve 20 times each with their own operator.
  subroutine test_threads()
    real(dp) :: worst(2)
    integer :: stat(2), c, k, st
    complex(dp) :: xc(n, 2)
    worst = 0
    stat = BK_CONVERGED
    !$omp parallel do num_threads(2) schedule(static, 1) private(k, st, xc)
    do c = 1, 2
      do k = 1, 20
        xc = 0
        if (c == 1) call solve(apply_h, b, xc, st, method='symmetric')
        if (c == 2) call solve(apply_c, b, xc, st, at=apply_ct, method='qmr', block_size=1)
        worst(c) = max(worst(c), max_residual(merge(helmholtz, convection, c == 1), b, xc))
        if (st /= BK_CONVERGED) stat(c) = st
      end do
    end do
    !$omp end parallel do
    call expect(all(stat == BK_CONVERGED) .and. all(worst <= 1.01e-8_dp), 'threads: concurrent solves')
  end subroutine test_threads

  ! Stock preconditioners through solve_csr, with their settings; through
  ! solve, L L^T factors of a matrix near helmholtz (transposes derived from
  ! symmetric_split, or given), and minv = A^-1 by a nested solve (which would
  ! take over the outer solve's procedures if their contexts were shared);
  ! converged to the true residual. Exact ones (ic0, ilut of a tridiagonal A,
  ! A^-1) converge at once. The symmetric and two-sided methods coincide on a
  ! complex-symmetric operator.
  subroutine test_precond()
    character(*), parameter :: names(3) = [character(24) :: 'ic0', 'ilut(drop 0.01, fill 2)', 'ilu0']
    integer(c_int64_t) :: prods(8), its(8)
    character(40) :: name
    real(dp) :: setup
    integer :: c
    do c = 1, 8
      x = 0
      name = '?'
      select case (c)
      case (1)
        call solve_csr(rowptr, colind, values, b, x, status, method='symmetric', precond='ic0', &
                       preconditioner=name, setup_seconds=setup, products=prods(c), iterations=its(c))
      case (2)  ! default-integer rowptr; names with capitals and blanks
        call solve_csr(int(rowptr), colind, values_c, b, x, status, method=' GMRES', precond=' ILUT ', &
                       drop_tol=0.01_dp, fill=2.0_dp, preconditioner=name, setup_seconds=setup, &
                       products=prods(c), iterations=its(c))
      case (3)  ! ilu0 of convection, far from helmholtz; 'auto' must not take the symmetric method
        call solve_csr(int(rowptr), colind, values, b, x, status, precond='ilu0', &
                       p_rowptr=int(rowptr), p_colind=colind, p_values=values_c, preconditioner=name, &
                       setup_seconds=setup, products=prods(c), iterations=its(c))
      case (4)
        call solve(apply_h, b, x, status, method='symmetric', m1inv=l_solve, m2inv=lt_solve, &
                   symmetric_split=.true., products=prods(c), iterations=its(c))
      case (5)
        call solve(apply_h, b, x, status, at=apply_h, method='qmr', m1inv=l_solve, m2inv=lt_solve, &
                   symmetric_split=.true., products=prods(c), iterations=its(c))
      case (6)
        call solve(apply_h, b, x, status, at=apply_h, method='qmr', m1inv=l_solve, m2inv=lt_solve, &
                   m1inv_t=lt_solve, m2inv_t=l_solve, products=prods(c), iterations=its(c))
      case (7)
        call solve(apply_h, b, x, status, method='gmres', minv=apply_h_inverse, products=prods(c), &
                   iterations=its(c))
      case (8)
        call solve(apply_h, b, x, status, at=apply_h, method='qmr', minv=apply_h_inverse, &
                   minv_t=apply_h_inverse, products=prods(c), iterations=its(c))
      end select
      call expect(status == BK_CONVERGED .and. max_residual(merge(convection, helmholtz, c == 2), b, x) &
                  <= 1.01e-8_dp .and. (c > 3 .or. (setup >= 0 .and. name == names(min(c, 3)))), &
                  'precond: case ' // achar(48 + c) // ': ' // status_name(status) // ', ' // trim(name))
    end do
    call expect(all(prods(1:2) <= 8) .and. prods(3) > 8, 'precond: stock products')
    call expect(its(4) > 1 .and. its(4) < 40 .and. all(its(5:6) == its(4)) .and. all(prods(7:8) <= 8) .and. &
                inner_status == BK_CONVERGED, 'precond: procedures')
    call solve_csr(rowptr, colind, values, b, x, status, precond='ssor', omega=1.5_dp, preconditioner=name)
    call expect(status == BK_CONVERGED .and. name == 'ssor(omega 1.5)', 'precond: omega ' // trim(name))
    x = 0   ! n = 1: 'auto' takes qmr, not the symmetric method ilu0 cannot serve
    call solve_csr([1_c_int64_t, 2_c_int64_t], [1_c_int32_t], [(2.0_dp, 1.0_dp)], b(1:1, :), x(1:1, :), status, &
                   precond='ilu0')
    call expect(status == BK_CONVERGED .and. all(abs(x(1, :) * (2.0_dp, 1.0_dp) - b(1, :)) < 1.0e-12_dp), &
                'precond: n = 1, auto')
  end subroutine test_precond

end program solve_test
