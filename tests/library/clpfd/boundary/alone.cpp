/* The solver linked alone, every object of it and nothing of the engine: a call of an engine
 * function that does not go through the dispatch tables leaves an undefined symbol. */
int main() { return 0; }
