% The stand-in application: main/0 greets, shows its arguments, reverses a list of 30 elements
% naively and computes 20!. A first argument fail, throw or halt takes that exit path instead
% of succeeding, so that each of the launcher's exit codes can be tried by hand.

main :-
    '$argv'(Args),
    write('Hello from the stand-in application.'), nl,
    write('Arguments: '), write(Args), nl,
    numbers(1, 30, List),
    nrev(List, Reversed),
    write('Reversed: '), write(Reversed), nl,
    factorial(20, F),
    write('20! = '), write(F), nl,
    exit_path(Args).

exit_path([fail|_]) :- !, fail.
exit_path([throw|_]) :- !, throw(foo).
exit_path([halt|_]) :- !, halt(3).
exit_path(_).

numbers(N, Max, []) :- N > Max, !.
numbers(N, Max, [N|Ns]) :- N1 is N + 1, numbers(N1, Max, Ns).

nrev([], []).
nrev([X|Xs], R) :- nrev(Xs, R0), app(R0, [X], R).

app([], L, L).
app([X|Xs], L, [X|R]) :- app(Xs, L, R).

factorial(0, 1) :- !.
factorial(N, F) :- N1 is N - 1, factorial(N1, F1), F is N * F1.
