! Tests of module blockkrylov_solve, in groups:
!   layout   the bind(C) types against what the library writes into them
!   invalid  refused arguments: BK_INVALID, X untouched, a message saying why
!   outputs  a solve ending without convergence; strided sections; int32 rowptr
!   nesting  a solve inside an operator of a solve
!   threads  solves with different operators on two OpenMP threads at once
module solve_test_support
  use, intrinsic :: iso_c_binding
  use blockkrylov_solve
  implicit none
  integer, parameter :: dp = c_double, n = 120
  ! Tridiagonal matrices as (A(i+1,i), A(i,i), A(i,i+1)), read-only.
  complex(dp), parameter :: helmholtz(3) = [(-1.0_dp, 0.0_dp), (1.7_dp, 0.2_dp), (-1.0_dp, 0.0_dp)]
  complex(dp), parameter :: convection(3) = [(-1.4_dp, 0.0_dp), (2.5_dp, 0.5_dp), (-0.6_dp, 0.1_dp)]
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
  complex(dp) :: values(3 * n - 2)
  real(dp) :: res(2)
  character(512) :: message
  integer :: i, j, status

  do i = 1, n
    b(i, :) = [cmplx(cos(0.3_dp * i), sin(0.1_dp * i), kind=dp), cmplx(1.0_dp / i, -0.5_dp, kind=dp)]
  end do
  rowptr(1) = 1
  do i = 1, n   ! helmholtz as 1-based CSR
    rowptr(i + 1) = rowptr(i) + min(i + 1, n) - max(i - 1, 1) + 1
    do j = max(i - 1, 1), min(i + 1, n)
      colind(rowptr(i) + j - max(i - 1, 1)) = j
      values(rowptr(i) + j - max(i - 1, 1)) = helmholtz(j - i + 2)
    end do
  end do

  call test_layout()
  call test_invalid()
  call test_outputs()
  call test_nesting()
  call test_threads()
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
    call expect(opt%method == BK_AUTO .and. opt%block_size == 0 .and. opt%restart == 60 .and. &
                opt%rtol == 1.0e-8_dp .and. opt%atol == 0 .and. opt%deflation_tol == 1.0e-12_dp .and. &
                opt%max_breakdowns == 10 .and. .not. c_associated(opt%preconditioner), 'layout: option defaults')

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
    character(*), parameter :: cases(8) = [character(30) :: 'x must have the shape', &
        'residuals must have room', 'unknown method', 'A^T', 'nrhs', 'rowptr must have', &
        'exceeds the entries', 'must equal base']
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
      end select
      call expect(status == BK_INVALID .and. all(x == x0) .and. index(message, trim(cases(c))) > 0, &
                  'invalid: ' // trim(cases(c)) // ': status ' // status_name(status) // ', ' // trim(message))
    end do
    res = 0
    call solve(apply_h, b, x, status, method='cg', residuals=res)
    call expect(all(ieee_is_nan(res)), 'invalid: residuals NaN, not stale')
  end subroutine test_invalid

  subroutine test_outputs()
    complex(dp) :: bb(2 * n, 3), xx(2 * n, 3), x64(n, 2)
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
    ! Default-integer rowptr, method name with capitals and blanks.
    x64 = 0
    call solve_csr(rowptr, colind, values, b, x64, status, method='gmres')
    x = 0
    call solve_csr(int(rowptr), colind, values, b, x, status, method=' GMRES ')
    call expect(status == BK_CONVERGED .and. all(x == x64), 'outputs: int32 rowptr solves like int64')
  end subroutine test_outputs

  ! Solving A^{-1} X = B, each product a solve of its own, gives X = A B;
  ! a context shared between solves would give the inner one's operator to the outer.
  subroutine test_nesting()
    complex(dp) :: ab(n, 2)
    x = 0
    call solve(apply_h_inverse, b, x, status, method='gmres', rtol=1.0e-10_dp)
    call apply_h(2, b, ab)
    call expect(status == BK_CONVERGED .and. inner_status == BK_CONVERGED .and. &
                maxval(abs(x - ab)) <= 1.0e-8_dp * maxval(abs(ab)), 'nesting: gmres over gmres solves')
  end subroutine test_nesting

  ! Two threads start together and solve 20 times each with their own operator.
  subroutine test_threads()
    real(dp) :: worst(2)
    integer :: stat(2), c, k, st
    complex(dp) :: xc(n, 2)
    worst = 0
    stat = BK_CONVERGED
    !$omp parallel num_threads(2) private(c, k, st, xc)
    !$omp barrier
    !$omp do schedule(static, 1)
    do c = 1, 2
      do k = 1, 20
        xc = 0
        if (c == 1) then
          call solve(apply_h, b, xc, st, method='symmetric')
          worst(c) = max(worst(c), max_residual(helmholtz, b, xc))
        else
          call solve(apply_c, b, xc, st, at=apply_ct, method='qmr', block_size=1)
          worst(c) = max(worst(c), max_residual(convection, b, xc))
        end if
        if (st /= BK_CONVERGED) stat(c) = st
      end do
    end do
    !$omp end do
    !$omp end parallel
    call expect(all(stat == BK_CONVERGED) .and. all(worst <= 1.01e-8_dp), 'threads: concurrent solves')
  end subroutine test_threads

end program solve_test
