! blockkrylov - Fortran interface to the twelve C entry points of the
! library (include/blockkrylov.h).
!
! Every argument is passed by reference, as Fortran does by default, so the
! interfaces below call the library directly: integers are integer(c_int32_t),
! reals real(c_double), complex numbers complex(c_double_complex). Arrays are
! declared assumed-size, (*): pass a whole array or its first element, in
! column-major (Fortran) order, with the leading dimensions the library
! expects. Indices inside the library are 1-based, as in Fortran.
!
! The entry points keep no state of their own except the per-thread slots of
! c_convergenceprogress, c_zdsym_blanczos1 and c_zd_blanczos, found by the
! OpenMP thread number: one solve must stay on one thread from its first call
! to its last. On failure a routine writes one-line records to standard
! output and returns a nonzero result.
!
! docs/ describes the host loop of each service; example_symmetric.f90 is a
! complete Fortran host of c_zdsym_blanczos1.
module blockkrylov
  use, intrinsic :: iso_c_binding, only: c_int32_t, c_double, c_double_complex
  implicit none
  private
  public :: c_colblocknorms, c_convergenceprogress
  public :: c_zdsym_blanczos1, c_zd_blanczos
  public :: c_initialblockgmres, c_parentbasisconstruct, c_gmreshouseorthog, c_gmreshmqr
  public :: c_gmresupdatelm, c_gmresleastsqs, c_gmresiterateupdate, c_gmresdeflatediterates

  interface

    ! ---------------------------------------------------------------- monitoring

    ! nrm(j) = Euclidean norm of X(1:n, j), j = 1..s.
    subroutine c_colblocknorms(x, ldx, n, s, nrm) bind(C, name="C_COLBLOCKNORMS")
      import :: c_int32_t, c_double, c_double_complex
      complex(c_double_complex), intent(in) :: x(*)
      integer(c_int32_t), intent(in) :: ldx, n, s
      real(c_double), intent(out) :: nrm(*)
    end subroutine c_colblocknorms

    ! 1 when every nrm(i) <= tol (or m <= 0); predicted total iterations and
    ! percent from the largest norm. itold = 0 starts a new history.
    function c_convergenceprogress(it, itold, tol, rmax, nrm, m, itpred, pct) result(conv) &
        bind(C, name="C_CONVERGENCEPROGRESS")
      import :: c_int32_t, c_double
      integer(c_int32_t), intent(in) :: it, itold, m
      real(c_double), intent(in) :: tol, nrm(*)
      real(c_double), intent(inout) :: rmax
      integer(c_int32_t), intent(out) :: itpred
      real(c_double), intent(out) :: pct
      integer(c_int32_t) :: conv
    end function c_convergenceprogress

    ! ------------------------------------------------------- Lanczos solvers

    ! Complex-symmetric block Lanczos with block QMR update. revcom: 0 start;
    ! on return 1 (store A*Pn in APn and call again) or 2 (X updated; call
    ! again with 2 to continue). Nonzero result: failure, revcom unchanged.
    function c_zdsym_blanczos1(n, s, revcom, x, vn, pn, d, apn, gamma, gammaold, rho, rhoold, &
                               esvb, esv, dsvb, dsv, qrs, rinv, up, tau, svwork) result(info) &
        bind(C, name="C_ZDSYM_BLANCZOS1")
      import :: c_int32_t, c_double, c_double_complex
      integer(c_int32_t), intent(in) :: n, s
      integer(c_int32_t), intent(inout) :: revcom
      complex(c_double_complex), intent(inout) :: x(*), vn(*), pn(*), d(*), apn(*)
      real(c_double), intent(inout) :: gamma(*), gammaold(*), rho(*), rhoold(*)
      complex(c_double_complex), intent(inout) :: esvb(*), esv(*), dsvb(*), dsv(*)
      complex(c_double_complex), intent(inout) :: qrs(*), rinv(*), up(*), tau(*), svwork(*)
      integer(c_int32_t) :: info
    end function c_zdsym_blanczos1

    ! Two-sided block Lanczos with block QMR update for general A. revcom on
    ! return: 1 store A*Pn in Zn; 2 store A^T*Qn in Zn; 3 X updated.
    function c_zd_blanczos(n, s, revcom, x, vn, wn, pn, qn, d, zn, gamma, gammaold, rho, rhoold, &
                           xi, xiold, esvb, esv, dsvb, dsv, qrs, rinv, qrsw, up, uq, tau, svwork) &
        result(info) bind(C, name="C_ZD_BLANCZOS")
      import :: c_int32_t, c_double, c_double_complex
      integer(c_int32_t), intent(in) :: n, s
      integer(c_int32_t), intent(inout) :: revcom
      complex(c_double_complex), intent(inout) :: x(*), vn(*), wn(*), pn(*), qn(*), d(*), zn(*)
      real(c_double), intent(inout) :: gamma(*), gammaold(*), rho(*), rhoold(*), xi(*), xiold(*)
      complex(c_double_complex), intent(inout) :: esvb(*), esv(*), dsvb(*), dsv(*)
      complex(c_double_complex), intent(inout) :: qrs(*), rinv(*), qrsw(*), up(*), uq(*), tau(*), svwork(*)
      integer(c_int32_t) :: info
    end function c_zd_blanczos

    ! ---------------------------------------------------------- block GMRES

    ! Starts a cycle: QR factorisation with deflation of the block in
    ! columns 1..s of V. Returns the number of deflated columns.
    function c_initialblockgmres(s, tol, p, v, n, vpiv, beta, sigma, r, ldr, lm, m, kept, dtab, ldd, &
                                 dcoef, ldc, work) result(ndefl) bind(C, name="C_INITIALBLOCKGMRES")
      import :: c_int32_t, c_double, c_double_complex
      integer(c_int32_t), intent(in) :: s, n, ldr, m, ldd, ldc
      real(c_double), intent(in) :: tol
      integer(c_int32_t), intent(out) :: p
      complex(c_double_complex), intent(inout) :: v(*)
      complex(c_double_complex), intent(out) :: vpiv(*), beta(*), sigma(*), r(*), lm(*), dcoef(*)
      integer(c_int32_t), intent(out) :: kept(*), dtab(*)
      complex(c_double_complex), intent(inout) :: work(*)
      integer(c_int32_t) :: ndefl
    end function c_initialblockgmres

    ! Basis vector q_j into w, from the cache at the back of V or built.
    subroutine c_parentbasisconstruct(j, w, k, p, v, n, beta, lm, m, work) &
        bind(C, name="C_PARENTBASISCONSTRUCT")
      import :: c_int32_t, c_double_complex
      integer(c_int32_t), intent(in) :: j, k, n, m
      integer(c_int32_t), intent(inout) :: p
      complex(c_double_complex), intent(out) :: w(*)
      complex(c_double_complex), intent(inout) :: v(*), work(*)
      complex(c_double_complex), intent(in) :: beta(*), lm(*)
    end subroutine c_parentbasisconstruct

    ! Arnoldi step: reduce column k of V, form reflector k, write
    ! H(1:k, jcol). Returns 1 (and increments ndefl) for a negligible direction.
    function c_gmreshouseorthog(jcol, k, tol, ndefl, v, n, vpiv, beta, sigma, lm, ldlm, h, ldh, work) &
        result(deflated) bind(C, name="C_GMRESHOUSEORTHOG")
      import :: c_int32_t, c_double, c_double_complex
      integer(c_int32_t), intent(in) :: jcol, k, n, ldlm, ldh
      real(c_double), intent(in) :: tol
      integer(c_int32_t), intent(inout) :: ndefl
      complex(c_double_complex), intent(inout) :: v(*), vpiv(*), beta(*), sigma(*), h(*), work(*)
      complex(c_double_complex), intent(in) :: lm(*)
      integer(c_int32_t) :: deflated
    end function c_gmreshouseorthog

    ! Plane rotations on column jcol of the band Hessenberg matrix and on G.
    subroutine c_gmreshmqr(jcol, s, h, ldh, g, ldg, cs, ldcs, sn, ldsn) bind(C, name="C_GMRESHMQR")
      import :: c_int32_t, c_double, c_double_complex
      integer(c_int32_t), intent(in) :: jcol, s, ldh, ldg, ldcs, ldsn
      complex(c_double_complex), intent(inout) :: h(*), g(*), sn(*)
      real(c_double), intent(inout) :: cs(*)
    end subroutine c_gmreshmqr

    ! Adds reflector k to the coupling matrix LM.
    subroutine c_gmresupdatelm(k, v, n, beta, lm, ldlm) bind(C, name="C_GMRESUPDATELM")
      import :: c_int32_t, c_double_complex
      integer(c_int32_t), intent(in) :: k, n, ldlm
      complex(c_double_complex), intent(in) :: v(*), beta(*)
      complex(c_double_complex), intent(inout) :: lm(*)
    end subroutine c_gmresupdatelm

    ! Solves H(1:k,1:k) Y = G(1:k,1:s) (upper triangle of H).
    subroutine c_gmresleastsqs(k, s, y, ldy, h, ldh, g, ldg) bind(C, name="C_GMRESLEASTSQS")
      import :: c_int32_t, c_double_complex
      integer(c_int32_t), intent(in) :: k, s, ldy, ldh, ldg
      complex(c_double_complex), intent(inout) :: y(*)
      complex(c_double_complex), intent(in) :: h(*), g(*)
    end subroutine c_gmresleastsqs

    ! X(:, kept(l)) = sum_j Y(j, l) q_j, l = 1..s, j = 1..k.
    subroutine c_gmresiterateupdate(k, s, p, kept, v, n, beta, lm, m, work, y, ldy, x, ldx, w) &
        bind(C, name="C_GMRESITERATEUPDATE")
      import :: c_int32_t, c_double_complex
      integer(c_int32_t), intent(in) :: k, s, p, n, m, ldy, ldx
      integer(c_int32_t), intent(in) :: kept(*)
      complex(c_double_complex), intent(in) :: v(*), beta(*), lm(*), y(*)
      complex(c_double_complex), intent(inout) :: work(*), x(*), w(*)
    end subroutine c_gmresiterateupdate

    ! Iterates of the deflated right-hand sides from the kept ones.
    subroutine c_gmresdeflatediterates(ndefl, kept, dtab, ldd, dcoef, ldc, x, n) &
        bind(C, name="C_GMRESDEFLATEDITERATES")
      import :: c_int32_t, c_double_complex
      integer(c_int32_t), intent(in) :: ndefl, ldd, ldc, n
      integer(c_int32_t), intent(in) :: kept(*), dtab(*)
      complex(c_double_complex), intent(in) :: dcoef(*)
      complex(c_double_complex), intent(inout) :: x(*)
    end subroutine c_gmresdeflatediterates

  end interface

end module blockkrylov
